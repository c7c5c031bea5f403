"""Run search_index_lib's pool work on a Ray cluster.

search_index_lib looks `Pool` up in its namespace each time it fans work out (the index build's
image loading and the cropped search's matching), calling `Pool(size)`, then `map(function,
items)` inside a with-block, then `close()` and `join()`. `bind_ray_pool` binds a Ray-backed
pool there with the worker count the host chooses, which may go past the module's own cap of
five workers; every later search of the process runs its pool work on the cluster until the
binding is undone.

What reaches the workers: the module itself must be installed on every node (as Ray is); the
settings module `constants` is shipped with each pool through Ray's runtime environment; the
photographs and the cache folder are not shipped: they must be at the same paths on every node
(shared storage). A node that cannot import the settings or cannot see a photograph makes the
call fail with an error naming the node (see ray_worker).

    from search_index_tools.ray_pool import bind_ray_pool

    with bind_ray_pool(processes=32, address="auto"):
        paths = search_index_lib.cropped_search("crop.png", "/shared/photos")
"""

from __future__ import annotations

import collections
import importlib
import logging
import os
import pickle
import sys
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import Any, Literal, NoReturn

from search_index_tools.pool_watch import module_item_file, worker_death
from search_index_tools.ray_worker import MODULE_NAME, NodeCheckedCall, RayNodeError, prepare_worker

__all__ = ["bind_ray_pool", "settings_runtime_env", "RayPoolBinding", "RayNodeError"]

SETTINGS_MODULE = "constants"

# Worker environment: no usage reporting, and no warnings printed into the workers' logs.
WORKER_ENV_VARS = {
    "RAY_USAGE_STATS_ENABLED": "0",
    "PYTHONWARNINGS": "ignore",
    # The feature store is a SQLite file in WAL mode, which needs a local file system; on other
    # nodes the cache folder is shared storage, so workers there leave the store alone. The
    # caller still takes stored vectors and sends only new pictures to the workers. A host whose
    # cache folder is local to every node may set it back through runtime_env's env_vars.
    "SEARCH_INDEX_LIB_FEATURE_STORE": "off",
}


def _import_ray() -> Any:
    try:
        return importlib.import_module("ray")
    except ImportError as error:
        raise ImportError(
            "The Ray road needs the `ray` package: pip install 'search_index_lib[ray]'"
        ) from error


def _settings_file(settings: None | str | os.PathLike[str]) -> Path:
    """The file (or package folder) of the settings module to ship to the workers."""
    if settings is None:
        module = sys.modules.get(SETTINGS_MODULE)
        file = getattr(module, "__file__", None)
        if module is None or file is None:
            raise ValueError(
                "settings: no settings module 'constants' is loaded from a file; pass the path "
                "of constants.py or of its folder, or settings=False if every node has its own"
            )
        return Path(file).parent if hasattr(module, "__path__") else Path(file)
    path = Path(settings)
    if path.is_dir() and (path / "constants.py").is_file():
        return path / "constants.py"
    if path.is_dir() and path.name == SETTINGS_MODULE and (path / "__init__.py").is_file():
        return path
    if path.is_file() and path.name == "constants.py":
        return path
    raise ValueError(f"settings: {str(path)!r} is neither constants.py nor a folder holding it")


def settings_runtime_env(
    settings: None | Literal[False] | str | os.PathLike[str] = None, extra: dict[str, Any] | None = None
) -> dict[str, Any]:
    """The runtime environment that ships the settings module to every worker of a Ray job,
    for a host that calls `ray.init(runtime_env=...)` itself. `settings` as for bind_ray_pool."""
    env: dict[str, Any] = dict(extra or {})
    if settings is not False:
        env["py_modules"] = list(env.get("py_modules", [])) + [str(_settings_file(settings).resolve())]
    env["env_vars"] = {**WORKER_ENV_VARS, **env.get("env_vars", {})}
    return env


def _check_processes(processes: object) -> None:
    if processes is None:
        return
    if type(processes) is not int:
        raise TypeError(f"processes must be an int or None, not {type(processes).__name__}")
    if processes < 1:
        raise ValueError(f"processes must be at least 1, not {processes}")


class RayPool:
    """One pool of Ray actors for one call of the module, used the way the module uses
    multiprocessing's pool. Leaving the with-block ends the actors; close() and join() after
    it do nothing more."""

    _pool: Any  # Ray's multiprocessing-like pool of actors

    def __init__(self, binding: RayPoolBinding) -> None:
        ray = _import_ray()
        from ray.util.multiprocessing import Pool

        binding.connect()
        self._binding = binding
        self._ended = False
        self._pool = Pool(
            processes=binding.processes,
            initializer=prepare_worker,
            initargs=(os.getcwd(),),
            ray_remote_args=binding.remote_args(),
        )
        self._cloudpickle = ray.cloudpickle
        self._actor_died = ray.exceptions.RayActorError

    def __enter__(self) -> RayPool:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc_value: BaseException | None, traceback: object
    ) -> None:
        self._end(graceful=exc_type is None or issubclass(exc_type, Exception))

    def map(self, function: Callable[[Any], Any], items: Iterable[Any]) -> list[Any]:
        dumps = self._cloudpickle.dumps
        items = list(items)
        packed = [dumps(item) for item in items]
        try:
            served = self._pool.map(NodeCheckedCall(dumps(function)), packed)
        except self._actor_died as error:
            # Ray fails the work of an actor whose process died rather than waiting for it;
            # the call then ends as the module's own pools end on a death.
            self._died(items, error)
        return [self._unpacked(one) for one in served]

    def map_in_slices(
        self,
        function: Callable[[Any], Any],
        items: Iterable[Any],
        on_slice: Callable[[int, list[Any]], object],
    ) -> list[Any]:
        """`map` that hands each finished run of results to `on_slice(first, results)` as it
        arrives, in input order; search_index_lib's index build stores the vectors of each run
        then, in this process, so that what was done before an interrupt or a failure is kept.
        Runs are as long as the command's pool makes them (workers.chunk_size), each sent to
        an actor as one batch."""
        from ray.util.multiprocessing.pool import PoolTaskError

        from search_index_tools.workers import chunk_size

        dumps = self._cloudpickle.dumps
        items = list(items)
        run_length = chunk_size(len(items), max(1, len(getattr(self._pool, "_actor_pool", ())) or 1))
        served = self._pool.imap(
            NodeCheckedCall(dumps(function)), [dumps(item) for item in items], run_length
        )
        results: list[Any] = []
        run: list[Any] = []
        for one in served:
            if isinstance(one, PoolTaskError):
                raise one.underlying  # the work's own error, as map() raises it
            if isinstance(one, self._actor_died):
                self._died(items, one)
            run.append(self._unpacked(one))
            if len(run) == run_length or len(results) + len(run) == len(items):
                on_slice(len(results), run)
                results.extend(run)
                run = []
        return results

    def _unpacked(self, served: Any) -> Any:
        node_id, result_pickle = served
        self._binding.items_per_node[node_id] += 1
        return pickle.loads(result_pickle)

    def _died(self, items: list[Any], error: BaseException) -> NoReturn:
        self._end(graceful=False)
        raise worker_death("its Ray actor died", items, module_item_file) from error

    def close(self) -> None:
        self._end(graceful=True)

    def terminate(self) -> None:
        self._end(graceful=False)

    def join(self) -> None:
        pass

    def _end(self, graceful: bool) -> None:
        if self._ended:
            return
        self._ended = True
        if graceful:
            # map() returns only once every batch is in (also when one failed), so the actors
            # have nothing left to do and exit at once when asked. Killing them instead would
            # make Ray print, for each, a worker that "died while executing a task".
            self._pool.close()
        else:
            # Interrupted: the outstanding work is abandoned.
            self._pool.terminate()
        # Waits until the actors have exited, so none outlives the call.
        self._pool.join()


class RayPoolBinding:
    """A Ray-backed pool bound as `Pool` in search_index_lib's namespace.

    Calling it is what the module does (`Pool(size)`); the module's size is set aside for the
    binding's `processes`. `items_per_node` counts, per Ray node id, the work items its
    workers ran. `unbind()` (or leaving a with-block) puts the previous `Pool` back and shuts
    down the Ray connection if this binding opened it."""

    def __init__(
        self,
        module: Any,
        processes: int | None,
        address: str | None,
        runtime_env: dict[str, Any],
        remote_args: dict[str, Any],
    ):
        self.module = module
        self.processes = processes
        self.address = address
        self.items_per_node: collections.Counter[str] = collections.Counter()
        self._runtime_env = runtime_env
        self._remote_args = remote_args
        self._owns_ray = False
        self._previous_pool = None
        self._bound = False

    def __repr__(self) -> str:
        return f"<Ray pool for {MODULE_NAME}: processes={self.processes!r}, address={self.address!r}>"

    def __call__(self, _module_pool_size: int | None = None) -> RayPool:
        return RayPool(self)

    def __enter__(self) -> RayPoolBinding:
        return self

    def __exit__(self, *exc: object) -> None:
        self.unbind()

    def remote_args(self) -> dict[str, Any]:
        # SPREAD deals the actors out over the nodes rather than filling the caller's first.
        return {"num_cpus": 1, "scheduling_strategy": "SPREAD", **self._remote_args}

    def connect(self) -> None:
        """Connects to the cluster (or starts a local Ray instance) unless Ray already is."""
        ray = _import_ray()
        if ray.is_initialized():
            return
        options: dict[str, Any] = dict(
            # None starts a local instance, also where RAY_ADDRESS names another.
            address=self.address or "local",
            log_to_driver=False,
            logging_level=logging.ERROR,
            include_dashboard=False,
            runtime_env=self._runtime_env,
        )
        if self.address in (None, "local") and self.processes is not None:
            # A local instance gets as many worker slots as asked for, also past the core count.
            options["num_cpus"] = self.processes
        ray.init(**options)
        self._owns_ray = True

    def bind(self) -> RayPoolBinding:
        self._previous_pool = self.module.Pool
        self.module.Pool = self
        self._bound = True
        return self

    def unbind(self) -> None:
        if self._bound:
            self._bound = False
            # A host that rebound Pool again since keeps its own choice.
            if self.module.Pool is self:
                self.module.Pool = self._previous_pool
        if self._owns_ray:
            self._owns_ray = False
            _import_ray().shutdown()


def bind_ray_pool(
    processes: int | None = None,
    address: str | None = None,
    *,
    settings: None | Literal[False] | str | os.PathLike[str] = None,
    runtime_env: dict[str, Any] | None = None,
    ray_remote_args: dict[str, Any] | None = None,
    module: Any = None,
) -> RayPoolBinding:
    """Binds a Ray-backed pool as search_index_lib's `Pool` and returns the binding.

    processes: workers per pool (None: one per CPU of the cluster); may exceed the module's
        own cap of five on purpose.
    address: "auto" for a running cluster, "host:port" for a given one, None to start a local
        Ray instance (with `processes` CPUs when given). If Ray is already initialised in this
        process, that connection is used as it is.
    settings: the settings module to ship to the workers: the path of constants.py or of its
        folder; None ships the `constants` module this process loaded; False ships nothing
        (every node has its own on its import path).
    runtime_env, ray_remote_args: more Ray options for the pool's workers.
    """
    _check_processes(processes)
    if address is not None and not isinstance(address, str):
        raise TypeError(f"address must be a str or None, not {type(address).__name__}")
    if module is None:
        module = importlib.import_module(MODULE_NAME)
    environment = settings_runtime_env(settings, runtime_env)
    if (settings not in (None, False) or runtime_env) and _import_ray().is_initialized():
        raise ValueError(
            "settings, runtime_env: Ray is already initialised in this process, so they "
            "cannot reach its workers; pass runtime_env=settings_runtime_env(...) to "
            "your ray.init instead"
        )
    binding = RayPoolBinding(module, processes, address, environment, dict(ray_remote_args or {}))
    binding.connect()
    return binding.bind()
