"""Where the command's caches go: `--cache-dir DIR`, and a check, before any folder work,
that the cache folder can be written (a build that fails on its last step, writing the index,
wastes the whole build).

The cache paths are the module's settings CACHE_METADATA and CACHED_INDEXED (the feature
stores lie beside the index file); --cache-dir rebinds both in the module, in the command's
process and in every pool worker (`apply_cache_dir` is their start-up step, for workers that
are not forked from the command).
"""

import functools
import os
from collections.abc import Callable
from types import ModuleType

FINGERPRINT_NAME = "folder_fingerprint.txt"
INDEX_NAME = "similarity_index.faiss"


def prepare_cache_dir(folder: str) -> tuple[str, None] | tuple[None, str]:
    """The absolute path of `folder`, made if missing; a one-line reason when it cannot be used."""
    folder = os.path.abspath(folder)
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as error:
        return None, f"--cache-dir: cannot make {error.filename or folder}: {error.strerror or error}"
    if not os.path.isdir(folder):
        return None, f"--cache-dir: not a folder: {folder}"
    if not os.access(folder, os.W_OK | os.X_OK):
        return None, f"--cache-dir: folder is not writable: {folder}"
    return folder, None


def apply_cache_dir(folder: str, sil: ModuleType | None = None) -> None:
    """Rebinds the module's cache paths into `folder` (the module reads them at each use)."""
    if sil is None:
        import search_index_lib

        sil = search_index_lib
    for setting, name in (("CACHE_METADATA", FINGERPRINT_NAME), ("CACHED_INDEXED", INDEX_NAME)):
        setattr(sil, setting, os.path.join(folder, name))


def cache_problem(sil: ModuleType, given_by: str) -> str | None:
    """Why the module's cache files cannot be written (one line naming their folder and where
    the paths came from), or None."""
    for setting in ("CACHED_INDEXED", "CACHE_METADATA"):
        try:
            path = os.path.abspath(os.fspath(getattr(sil, setting)))
        except TypeError:
            return f"{setting} of {given_by} is not a path: {getattr(sil, setting)!r}"
        folder = os.path.dirname(path)
        if not os.path.isdir(folder):
            return (
                f"cache folder not found: {folder} ({setting} of {given_by}; --cache-dir DIR chooses another)"
            )
        if not os.access(folder, os.W_OK | os.X_OK):
            return (
                f"cache folder is not writable: {folder} ({setting} of {given_by}; "
                "--cache-dir DIR chooses another)"
            )
    return None


def place_caches(
    sil: ModuleType, cache_dir: str | None, writes_index: bool, given_by: str
) -> tuple[Callable[[], None] | None, str | None]:
    """--cache-dir (None: the settings' paths), then, when the command writes the index, the
    check that it can. Returns (the workers' start-up step or None, a problem or None)."""
    setup: Callable[[], None] | None = None
    if cache_dir is not None:
        folder, problem = prepare_cache_dir(cache_dir)
        if folder is None:
            return None, problem
        apply_cache_dir(folder, sil)
        setup = functools.partial(apply_cache_dir, folder)
    return setup, cache_problem(sil, given_by) if writes_index else None
