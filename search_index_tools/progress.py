"""A process pool that reports each finished item, for progress bars.

search_index_lib looks `Pool` up in its namespace each time it opens a pool, so binding
`progress_pool(...)` there makes the module's own pools report their work without any change
to the module. `ProgressPool.map` keeps the contract of `multiprocessing.Pool.map`: results
in input order, the first failure ends the call (raised as the worker raised it), and the
pool ends its workers when its `with` block is left. A worker process that dies, busy or
idle, ends the call as it ends the module's own pools (pool_watch): every worker is ended,
the queue locks are freed and RuntimeError("a worker process died ...") is raised, where the
plain pool would wait for the lost item, or for a lock the dead worker held, for ever.

This module is imported by spawned and forkserver workers (for `_start_worker`), so it
imports nothing heavy.
"""

from __future__ import annotations

import functools
import importlib
import multiprocessing
import multiprocessing.pool
import os
from collections.abc import Callable, Iterable
from typing import Any, Literal, TextIO

from .pool_watch import ignore_interrupts, map_in_slices, module_item_file

# At most this many items travel to a worker together: small enough for smooth counts,
# large enough that the transfer costs little next to the work on one picture.
MAX_ITEMS_PER_TASK = 8

# Takes a run of results as it is done: (input position of its first item, the results).
SliceTaker = Callable[[int, list[Any]], object]


def _start_worker(setup: Callable[[], None] | None) -> None:
    """Worker start-up: interrupts are left to the caller; then the command's own step."""
    ignore_interrupts()
    if setup is not None:
        setup()


class ProgressPool(multiprocessing.pool.Pool):
    """multiprocessing's pool whose `map` calls `on_start(total)` once and `on_item()` after
    each finished item (both in the calling process)."""

    _pool: list[Any]  # multiprocessing's own list of the worker processes

    def __init__(
        self,
        processes: int | None = None,
        *,
        context: Any = None,
        on_start: Callable[[int], None] | None = None,
        on_item: Callable[[], None] | None = None,
        setup: Callable[[], None] | None = None,
    ) -> None:
        # `setup`: a picklable callable each worker runs when it starts.
        super().__init__(processes, initializer=_start_worker, initargs=(setup,), context=context)
        self._on_start: Callable[[int], None] = on_start or (lambda total: None)
        self._on_item: Callable[[], None] = on_item or (lambda: None)

    def map(
        self, func: Callable[[Any], Any], iterable: Iterable[Any], chunksize: int | None = None
    ) -> list[Any]:
        return self.map_in_slices(func, iterable, None, chunksize)

    def map_in_slices(
        self,
        func: Callable[[Any], Any],
        iterable: Iterable[Any],
        on_slice: SliceTaker | None,
        chunksize: int | None = None,
    ) -> list[Any]:
        """`map`, handing each finished run of results to `on_slice(first, results)` (in this
        thread, `first` its input position) before it is counted. search_index_lib's index
        build stores the vectors of each run as it arrives, so an interrupted or failed build
        keeps every picture counted so far. The runs are the module's own watched map's
        slices, `chunksize` items each, sent to the workers as one task."""
        items = list(iterable)
        self._on_start(len(items))
        if not items:
            return []
        if chunksize is None:
            chunksize = max(1, min(MAX_ITEMS_PER_TASK, len(items) // (4 * len(self._pool))))

        def arrived(first: int, results: list[Any]) -> None:
            if on_slice is not None:
                on_slice(first, results)
            for _ in results:
                self._on_item()

        return map_in_slices(self, func, items, chunksize, module_item_file, arrived)


class ProgressReporter:
    """Counts finished items for the pools opened while a phase is active, on a tqdm bar on
    standard error. Maps outside a phase (such as loading the one query picture) show no bar.
    `finished` of `expected` counts the items of the last pool opened in a phase, bar or not."""

    def __init__(self, enabled: bool, stream: TextIO) -> None:
        self.enabled = enabled
        self.stream = stream
        self.label: str | None = None
        self.bar: Any = None
        self.finished = self.expected = 0

    def phase(self, label: str) -> _Phase:
        return _Phase(self, label)

    def start(self, total: int) -> None:
        self.close()
        if self.label:
            self.finished, self.expected = 0, total
        if self.enabled and self.label and total:
            tqdm: Any = importlib.import_module("tqdm")
            tqdm.tqdm.monitor_interval = 0  # no monitor thread: pools may fork later
            self.bar = tqdm.tqdm(total=total, desc=self.label, unit="picture", file=self.stream, leave=False)

    def item(self) -> None:
        if self.label:
            self.finished += 1
        if self.bar is not None:
            self.bar.update(1)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


class _Phase:
    def __init__(self, reporter: ProgressReporter, label: str) -> None:
        self.reporter, self.label = reporter, label

    def __enter__(self) -> ProgressReporter:
        self.reporter.label = self.label
        return self.reporter

    def __exit__(self, *exc: object) -> Literal[False]:
        self.reporter.close()
        self.reporter.label = None
        return False


def progress_pool(
    reporter: ProgressReporter, start_method: str | None = None, setup: Callable[[], None] | None = None
) -> Callable[..., ProgressPool]:
    """A `Pool` to bind in search_index_lib: called with the number of workers, as the
    module calls it, it opens a ProgressPool that reports to `reporter`; each worker runs `setup`
    (picklable) when it starts."""
    context = multiprocessing.get_context(start_method)
    return functools.partial(
        ProgressPool, context=context, on_start=reporter.start, on_item=reporter.item, setup=setup
    )


def interruption_note(reporter: ProgressReporter, on_ray: bool = False) -> str:
    """One line on how far interrupted work got, and whether it is kept. The feature store
    keeps what the pools finished: a crop search's workers store each picture's keypoints, and
    an index build stores each run of vectors the command's pool hands back. The Ray road
    counts nothing (its pool draws no progress), and the verified search's pool is not counted
    here either, so neither gets figures."""
    if not reporter.expected:
        return "interrupted"
    return f"interrupted: {_how_far(reporter, on_ray)}"


def failure_note(reporter: ProgressReporter, on_ray: bool = False) -> str:
    """What a search whose pool failed part-way (a worker died, a picture broke the build) had
    done, as "; N of M pictures were read; ...", or "" when its pool finished nothing or all."""
    if not 0 < reporter.finished < reporter.expected:
        return ""
    return f"; {_how_far(reporter, on_ray)}"


def _how_far(reporter: ProgressReporter, on_ray: bool) -> str:
    read = f"{reporter.finished} of {reporter.expected} pictures were read"
    if not reporter.finished or on_ray:
        return read
    if os.environ.get("SEARCH_INDEX_LIB_FEATURE_STORE", "on") in ("off", "0"):
        return f"{read}; the feature store is off, so the next run reads them again"
    return f"{read}; the feature store keeps them for the next run"
