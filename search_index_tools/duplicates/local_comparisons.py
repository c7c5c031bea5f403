"""Where the comparisons of candidate pairs run.

The native comparison releases the interpreter while it works, so on this machine threads of
the scanning process make the comparisons as fast as worker processes would, without starting
a pool or sending it every pair's thumbnails (for small pictures that cost more than the
comparisons themselves). The module's pool is still used when it runs its workers elsewhere
(a Ray cluster, or any pool a caller bound as search_index_lib's `Pool`): there the
comparisons go where the pool sends them.
"""

from __future__ import annotations

from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from multiprocessing.context import BaseContext
from typing import Any

from ..workers import CommandPoolBinding, available_processors

# Comparisons a thread makes per item: enough that a picture in several of its pairs is
# prepared once, few enough that an interruption is seen within a fraction of a second.
PAIRS_PER_THREAD_ITEM = 2048


def on_this_machine(pool: Any) -> bool:
    """Whether `pool` (the module's `Pool` as bound now) runs its workers as processes of this
    machine: multiprocessing's own Pool, of any start method, or the command's pool."""
    if isinstance(pool, CommandPoolBinding):
        return True
    owner = getattr(pool, "__self__", None)
    method = getattr(pool, "__func__", None)
    return isinstance(owner, BaseContext) and method is BaseContext.Pool


def thread_count(pool: Any) -> int:
    """Threads for the comparisons: the workers the command was asked for, else one per
    processor this process may use."""
    requested = pool.requested if isinstance(pool, CommandPoolBinding) else None
    return requested if requested else available_processors()


def map_on_threads(
    function: Callable[[Any], Any],
    items: list[Any],
    threads: int,
    on_start: Callable[[int], None] | None = None,
    on_item: Callable[[], None] | None = None,
) -> list[Any]:
    """[function(item) for item in items], on up to `threads` threads, results in order. On an
    error or an interruption the items not started are dropped and the running ones awaited,
    so no thread outlives the call."""
    if on_start is not None:
        on_start(len(items))
    executor = ThreadPoolExecutor(max(1, min(threads, len(items))), thread_name_prefix="comparing")
    try:
        futures: list[Future[Any]] = [executor.submit(function, item) for item in items]
        results = []
        for future in futures:
            results.append(future.result())
            if on_item is not None:
                on_item()
        return results
    finally:
        executor.shutdown(wait=True, cancel_futures=True)
