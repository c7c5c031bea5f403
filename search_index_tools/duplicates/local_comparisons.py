"""Where the comparisons of candidate pairs run.

The native comparison releases the interpreter while it works, so on this machine threads of
the scanning process make the comparisons as fast as worker processes would, without starting
a pool or sending it every pair's thumbnails (for small pictures that cost more than the
comparisons themselves). The module's pool is still used when it runs its workers elsewhere
(a Ray cluster, or any pool a caller bound as search_index_lib's `Pool`): there the
comparisons go where the pool sends them.
"""

from __future__ import annotations

import itertools
from collections import deque
from collections.abc import Callable, Iterable, Sequence, Sized
from concurrent.futures import Future, ThreadPoolExecutor
from multiprocessing.context import BaseContext
from typing import Any, overload

from ..thread_shutdown import shut_down_whole
from ..workers import CommandPoolBinding, available_processors

# Comparisons a thread makes per item: enough that a picture in several of its pairs is
# prepared once, few enough that an interruption is seen within a fraction of a second.
PAIRS_PER_THREAD_ITEM = 2048
# Items taken ahead per thread, beyond those whose results were collected: enough that a thread
# that finishes finds its next item made.
AHEAD = 2


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
    items: Iterable[Any],
    threads: int,
    on_start: Callable[[int], None] | None = None,
    on_item: Callable[[], None] | None = None,
) -> list[Any]:
    """[function(item) for item in items], on up to `threads` threads, results in order.

    `items` is a list, or any sized iterable whose items are made as they are taken (such as
    LazyItems): they are taken a few at a time, AHEAD per thread beyond those whose results
    were collected, so an item is made in this thread while the threads work on earlier ones,
    and only those few are held at once. On an error or an interruption the items not
    started are dropped and the running ones awaited, so no thread outlives the call."""
    count = len(items) if isinstance(items, Sized) else None
    if on_start is not None and count is not None:
        on_start(count)
    workers = max(1, min(threads, count if count is not None else threads))
    executor = ThreadPoolExecutor(workers, thread_name_prefix="comparing")
    submitted: list[Future[Any]] = []

    def submit(item: Any) -> Future[Any]:
        submitted.append(executor.submit(function, item))
        return submitted[-1]

    try:
        source = iter(items)
        pending: deque[Future[Any]] = deque(
            submit(item) for item in itertools.islice(source, AHEAD * workers)
        )
        results = []
        while pending:
            results.append(pending.popleft().result())
            if on_item is not None:
                on_item()
            following = next(source, _NO_MORE)
            if following is not _NO_MORE:
                pending.append(submit(following))
        return results
    finally:
        shut_down_whole(executor, submitted)


_NO_MORE = object()


class LazyItems(Sequence[Any]):
    """`count` items, item i made by make(i) when it is taken: a map over threads takes them as
    the threads come free, so they are made while earlier ones are worked on."""

    def __init__(self, count: int, make: Callable[[int], Any]):
        self._count = count
        self._make = make

    def __len__(self) -> int:
        return self._count

    @overload
    def __getitem__(self, index: int) -> Any: ...

    @overload
    def __getitem__(self, index: slice) -> Sequence[Any]: ...

    def __getitem__(self, index: int | slice) -> Any:
        if isinstance(index, slice):
            return [self[number] for number in range(*index.indices(self._count))]
        if not -self._count <= index < self._count:
            raise IndexError("item out of range")
        return self._make(index % self._count)
