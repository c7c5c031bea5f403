"""The verified search's reading workers: how many, and the process pool they run in.

How many: a worker per processor (or as asked), fewer when the largest picture would not fit in
the available memory that many times over (workers.worker_count, which reads every picture's
header for its size). A reading worker refuses, from the header, every picture above Pillow's
decompression-bomb limit, so the largest picture it decodes has at most that many pixels; when
the memory holds the asked-for workers even at that limit, no header needs reading first.

The pool: multiprocessing's, except that its worker-handler thread does not wake for every
result on its way back. The stock Pool's handler waits on the result pipe as well as on the
workers and its own notifications, and while a result is in the pipe and not yet taken (a
picture's features are about 160 kB) the wait returns at once, so the thread spins; over a
library's first search that was 0.07-0.25 s of the caller's processor time, more on a busy
machine. The handler acts only on a worker that ends (its process sentinel) and on the pool's
own changes (close, terminate, no work left, each sent through its change notifier), so it
waits on those alone, as multiprocessing's ThreadPool does.
"""

from __future__ import annotations

import multiprocessing.context
import multiprocessing.pool
from collections.abc import Callable
from typing import Any

from PIL import Image

from .. import workers


def reader_count(paths: list[str], wanted: int) -> int:
    """Reading workers for `paths`: `wanted` (at most one per picture), fewer when memory is short."""
    wanted = max(1, min(wanted, len(paths)))
    memory = workers.available_memory()
    limit = Image.MAX_IMAGE_PIXELS
    if memory is not None and limit is not None:
        if memory // workers.worker_bytes(int(limit)) >= wanted:
            return wanted
    count, _ = workers.worker_count(paths, wanted)
    return count


class QuietPool(multiprocessing.pool.Pool):
    """multiprocessing.pool.Pool whose worker handler waits only on what it acts on."""

    def _get_sentinels(self) -> list[Any]:
        notifier = getattr(self, "_change_notifier", None)
        reader = getattr(notifier, "_reader", None)
        if reader is None:  # another Python's Pool: its own waiting, whatever it is
            sentinels: list[Any] = super()._get_sentinels()  # type: ignore[misc]
            return sentinels
        return [reader]


def reading_pool(
    context: Any, count: int, initializer: Callable[..., None], initargs: tuple[Any, ...]
) -> multiprocessing.pool.Pool:
    """A pool of `count` workers started by `context` (a multiprocessing context; any other
    object with a Pool method makes its own pool)."""
    if isinstance(context, multiprocessing.context.BaseContext):
        return QuietPool(count, initializer, initargs, context=context.get_context())
    pool: multiprocessing.pool.Pool = context.Pool(count, initializer=initializer, initargs=initargs)
    return pool
