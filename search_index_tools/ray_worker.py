"""The worker side of the Ray road: what a Ray worker does around one of search_index_lib's
pool functions.

A worker on another node may lack what the caller has: the settings module that the module
imports at start-up, or the photographs (which must sit at the same paths on every node).
Either problem must end the call with an error that names the node and the problem, never a
hang or a partial answer. So the function and each work item travel as pickles that this
module opens only after it has imported search_index_lib itself (a failing import then becomes
a RayNodeError), and each file a work item names is checked before the function runs: the
cropped search leaves files it cannot read out of its answer, which on a node without the
shared folder would quietly drop photographs.
"""

from __future__ import annotations

import errno
import importlib
import os
import pickle
import socket
from collections.abc import Callable
from types import ModuleType
from typing import Any

MODULE_NAME = "search_index_lib"


class RayNodeError(RuntimeError):
    """A Ray node cannot take part in a search: its set-up differs from the caller's."""


def node_description() -> str:
    """Host name, node id and address of the node this worker runs on, for error messages."""
    import ray

    node_id = ray.get_runtime_context().get_node_id()
    # Ray leaves this function unannotated (it gives the address as a str); without the
    # optional ray package installed the checker sees no ray at all, hence unused-ignore.
    address = ray.util.get_node_ip_address()  # type: ignore[no-untyped-call, unused-ignore]
    return f"Ray node {socket.gethostname()} (node id {node_id}, address {address})"


def import_module_on_node() -> ModuleType:
    """search_index_lib as this worker sees it; an import that fails (most often the settings
    module `constants` missing or broken on this node) is reported with the node named."""
    try:
        return importlib.import_module(MODULE_NAME)
    except Exception as error:  # the settings module may raise anything at import
        if isinstance(error, ModuleNotFoundError) and error.name == MODULE_NAME:
            remedy = f"{MODULE_NAME} must be installed on every node (pip install '{MODULE_NAME}[ray]')."
        else:
            remedy = (
                "The settings module 'constants' must be importable on every node: let "
                "bind_ray_pool ship it (its `settings` argument) or install it on the node's import path."
            )
        raise RayNodeError(
            f"{node_description()} cannot import {MODULE_NAME}: {type(error).__name__}: {error}. {remedy}"
        ) from error


def paths_named_by(item: Any) -> list[str]:
    """The files a work item names: a record's `image_path`, or both paths of an
    (image path, crop path) pair. Other shapes are left to the function's own checks."""
    image_path = getattr(item, "image_path", None)
    if isinstance(image_path, str):
        return [image_path]
    if isinstance(item, tuple) and len(item) == 2 and all(isinstance(path, str) for path in item):
        return list(item)
    return []


def ensure_visible(paths: list[str]) -> None:
    """FileNotFoundError naming the node and the path of the first file this node cannot see."""
    for path in paths:
        if not os.path.exists(path):
            raise FileNotFoundError(
                errno.ENOENT,
                f"{node_description()} cannot see this file; the photo folder and the cache "
                "folder must be at the same paths on every node",
                path,
            )


def prepare_worker(caller_directory: str) -> None:
    """Runs once in each pool worker: relative paths (a query or crop given relative to the
    caller's working directory) resolve as they would in a local pool worker. On a node
    without that directory they stay unresolved and the file check reports them. Registers
    the picture decoders and imports the module ahead of the work."""
    if os.path.isdir(caller_directory):
        os.chdir(caller_directory)
    # HEIC/HEIF and AVIF decoders, as in the caller: a Ray worker starts afresh.
    from search_index_tools import formats

    formats.register_decoders()
    # The module's import is paid while the pool starts rather than by the first work item;
    # a node where it fails reports it with the first item it is given.
    try:
        import_module_on_node()
    except RayNodeError:
        pass


class NodeCheckedCall:
    """The callable that Ray's pool runs for each work item: imports the module, checks the
    item's files, runs the function. Returns the node's id and the pickled result, so that
    the caller can tell which nodes did the work and gets ordinary, writable arrays back."""

    def __init__(self, function_pickle: bytes):
        self.function_pickle = function_pickle
        self._function: Callable[[Any], Any] | None = None

    def __getstate__(self) -> dict[str, bytes]:
        return {"function_pickle": self.function_pickle}

    def __setstate__(self, state: dict[str, bytes]) -> None:
        self.function_pickle = state["function_pickle"]
        self._function = None

    def __call__(self, item_pickle: bytes) -> tuple[str, bytes]:
        import ray

        import_module_on_node()
        if self._function is None:
            self._function = pickle.loads(self.function_pickle)
        item = pickle.loads(item_pickle)
        ensure_visible(paths_named_by(item))
        result = self._function(item)
        return ray.get_runtime_context().get_node_id(), pickle.dumps(result, pickle.HIGHEST_PROTOCOL)
