"""Worker watch for the command's process pools: a worker that dies ends the call in seconds.

multiprocessing's Pool replaces a worker process that dies (a decoder crashing on a hostile
file, the out-of-memory killer, a kill -9), but the work that worker held is lost and the
results it owed never come. A worker that dies while it waits for work also takes the task
queue's lock with it, and the pool's own terminate() then waits for that lock for ever.

The watch is search_index_lib's own, built from the module's source into the companion
extension `_pool_watch`: after a death it ends every worker, frees the queue locks a dead
worker may hold, and raises RuntimeError with the module's text ("a worker process died
(killed by SIGKILL) ...; the pool's other workers were ended"). An interrupt (Ctrl-C) while
waiting ends the workers the same way. A worker's own error is raised unchanged, once the
other work items are done, as map() raises it.

`map_in_slices` is the module's watched map itself; `PoolWatch` waits on the results of a
pool's imap with the same watch, timings and error, for a caller that takes results lazily.

This module is imported by spawned and forkserver workers with the pools that use it, so it
imports nothing heavy.
"""

from __future__ import annotations

import multiprocessing
import multiprocessing.pool
import signal
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, TypeVar

from ._pool_watch import GRACE_SECONDS, POLL_SECONDS, WorkerWatch, how_it_ended, map_in_slices, worker_death

__all__ = [
    "GRACE_SECONDS",
    "POLL_SECONDS",
    "PoolWatch",
    "how_it_ended",
    "ignore_interrupts",
    "map_in_slices",
    "module_item_file",
    "watched_imap",
    "worker_death",
]

Item = TypeVar("Item")
Result = TypeVar("Result")
ItemName = Callable[[Any], str]


def ignore_interrupts() -> None:
    """Worker start-up: Ctrl-C reaches the whole process group; the caller alone handles it
    (by ending the pool), so workers do not each print a traceback."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def module_item_file(item: Any) -> str:
    """The file a work item of search_index_lib's pools stands for: an image record's path,
    or the picture's path that leads a cropped search's work item."""
    path = getattr(item, "image_path", None)
    return str(item[0] if path is None else path)


class PoolWatch:
    """Every worker process a multiprocessing pool has had while the watch ran (the module's
    WorkerWatch), and a wait for the next result of the pool's imap that watches them."""

    def __init__(self, pool: multiprocessing.pool.Pool) -> None:
        self._workers = WorkerWatch(pool)
        self.ended = False  # every worker was ended (after a death or an interrupt)

    def end_all(self) -> None:
        """Ends every worker at once and frees the queue locks a dead worker may have held,
        so that the pool's terminate() finishes."""
        self.ended = True
        self._workers.end_all()

    def next_result(self, results: Any, items: Sequence[Any], name_of_item: ItemName | None = None) -> Any:
        """The next result of `results` (an iterator of the pool's imap or imap_unordered),
        watching the workers while it waits. On a death or an interrupt every worker is ended
        before the error leaves."""
        try:
            return self._wait(results, items, name_of_item)
        except Exception:
            raise  # a worker's own error, or a death already handled
        except BaseException:
            self._end_all_quietly()
            raise

    def finish(
        self, results: Any, count: int, items: Sequence[Any], name_of_item: ItemName | None = None
    ) -> None:
        """Waits for the next `count` results of `results`, whatever they are (a worker's own
        error included), watching the workers as next_result does, so that no worker is still
        handing a result back when the pool is ended."""
        for _ in range(count):
            try:
                self.next_result(results, items, name_of_item)
            except Exception:
                if self.ended:
                    raise  # a death: the workers are ended already

    def _wait(self, results: Any, items: Sequence[Any], name_of_item: ItemName | None) -> Any:
        while True:
            try:
                return results.next(POLL_SECONDS)
            except multiprocessing.TimeoutError:
                pass
            self._workers.refresh()
            exit_code = self._workers.death()
            if exit_code is None:
                continue
            try:
                return results.next(GRACE_SECONDS)
            except multiprocessing.TimeoutError:
                self._end_all_quietly()
                raise worker_death(how_it_ended(exit_code), items, name_of_item) from None

    def _end_all_quietly(self) -> None:
        try:
            self.end_all()
        except Exception:
            pass  # the error that ended the wait is the one the caller must see


def watched_imap(
    pool: multiprocessing.pool.Pool,
    function: Callable[[Item], Result],
    items: Iterable[Item],
    chunksize: int = 1,
    name_of_item: ItemName | None = None,
) -> Iterator[Result]:
    """`pool.imap(function, items, chunksize)` on a multiprocessing pool, in input order,
    with the workers watched while results are awaited."""
    work = list(items)
    watch = PoolWatch(pool)  # seen before any work starts, so no early death goes unseen
    # Runs of items travel together, as imap's chunksize sends them, but each run comes back
    # through an iterator the watch can wait on with a time limit.
    runs = [(function, work[first : first + chunksize]) for first in range(0, len(work), chunksize)]
    results = pool.imap(_run_of_items, runs)
    taken = 0
    try:
        for _ in runs:
            try:
                run = watch.next_result(results, work, name_of_item)
            except Exception:
                # A worker's own error reaches the caller once the other runs are back, as
                # map() raises it: ending the pool while a worker hands back a result can
                # leave the result queue's lock with the killed worker, and the pool's
                # terminate() waiting for that lock for ever.
                taken += 1
                if not watch.ended:
                    watch.finish(results, len(runs) - taken, work, name_of_item)
                    taken = len(runs)
                raise
            taken += 1
            yield from run
    finally:
        if taken < len(runs) and not watch.ended:
            # The caller stopped early (an error of its own, Ctrl-C, or it had enough): the
            # workers still at work are ended, and the queue locks freed, before the pool is.
            watch._end_all_quietly()


def _run_of_items(run: tuple[Callable[[Item], Result], list[Item]]) -> list[Result]:
    function, items = run
    return [function(item) for item in items]
