"""Work of many items shared among threads, so that an error or an interrupt ends it soon.

A thread pool's map hands every item to the pool at once: when one item fails, or Ctrl-C
reaches the caller while it waits, leaving the pool still runs every item already handed over
(a library's thousands of thumbnails). Here items are handed over a wave at a time, a few per
thread, and no wave starts after one that failed or was interrupted: the call ends once the
items at work are done.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import TypeVar

from ..thread_shutdown import shut_down_whole

Item = TypeVar("Item")
Result = TypeVar("Result")

# Items handed to each thread in a wave: enough that a thread rarely waits for the others at
# the end of a wave, few enough that an interrupted call ends within a few items.
ITEMS_PER_THREAD = 4


def map_in_waves(function: Callable[[Item], Result], items: Sequence[Item], threads: int) -> list[Result]:
    """[function(item) for item in items], in their order, shared among `threads` threads."""
    if threads < 2:
        return [function(item) for item in items]
    wave = threads * ITEMS_PER_THREAD
    results: list[Result] = []
    pool = ThreadPoolExecutor(threads)
    futures: list[Future[Result]] = []  # the wave at work; the earlier ones are done
    try:
        for first in range(0, len(items), wave):
            futures = [pool.submit(function, item) for item in items[first : first + wave]]
            results.extend(future.result() for future in futures)
    finally:
        # The items of the wave not started yet are dropped; those at work are awaited, also
        # through a second Ctrl-C (a thread left in native code would abort the process).
        shut_down_whole(pool, futures)
    return results
