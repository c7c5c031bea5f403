"""The command's worker processes: a worker per processor, within the memory there is.

The module's own pools keep one processor for the caller and at most five workers, which on a
2-processor machine reads pictures on one processor while the other idles. The command is a
host and binds its own `Pool` in the module's namespace (`bind_command_pool`): the module
still calls `Pool(its size)`, and this pool sets that size aside for

    workers = min(processors available to the process (os.sched_getaffinity) or --workers N,
                  pictures to read,
                  MemAvailable // (WORKER_BASE_BYTES + BYTES_PER_PIXEL * S * S)),  at least 1

where S is the longer side of the largest picture among those the pool is given (read from
the files' headers when the first map arrives, so the workers start only then). The module's
similarity vectors pad a picture square before shrinking it, so a worker holds a few copies of
an S x S picture at once: the decoded picture, the white square and its grey copy, and a HEIF
or AVIF decoder its own buffers. Measured on a 2560 x 1600 photograph: 7.4 bytes per pixel of
the square for a JPEG, 8.1 for a HEIC, 8.9 for an AVIF, over a worker of about 90 MB;
BYTES_PER_PIXEL = 12 and WORKER_BASE_BYTES = 200 MB leave room, also for the cropped search's
grey read and keypoint pyramid.

Every worker registers the picture decoders (formats.register_decoders) in its initializer,
which matters under the spawn and forkserver start methods; a forked worker has them already.
Progress, the dead-worker watch and Ctrl-C are the progress pool's, unchanged; the pool's
map_in_slices lets the module's index build store each run of vectors as it arrives.
"""

from __future__ import annotations

import functools
import io
import math
import os
import stat
import warnings
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any

from . import formats

if TYPE_CHECKING:
    from .progress import ProgressReporter

WORKER_BASE_BYTES = 200 * 2**20  # a worker's interpreter with the module, numpy, OpenCV and faiss
BYTES_PER_PIXEL = 12  # per pixel of the square of a picture's longer side, see above
MAX_CHUNK = 32  # see chunk_size


def prepare_worker(setup: Callable[[], None] | None = None) -> None:
    """Worker start-up step (after the progress pool's own, which leaves Ctrl-C to the
    caller): the picture decoders are registered, then the command's own `setup` runs."""
    formats.register_decoders()
    if setup is not None:
        setup()


def available_processors() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):  # not on Linux
        return max(1, os.cpu_count() or 1)


def available_memory() -> int | None:
    """MemAvailable of /proc/meminfo in bytes: what can be taken without swapping; None when
    the system does not say."""
    try:
        with open("/proc/meminfo", encoding="ascii") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def _path_of(item: Any) -> str | None:
    """The picture a work item stands for: a path, a record's path, or the picture of a
    (picture, crop) pair."""
    if isinstance(item, str):
        return item
    path = getattr(item, "image_path", None)
    if isinstance(path, str):
        return path
    if isinstance(item, tuple) and item and isinstance(item[0], str):
        return item[0]
    return None


def longer_side(path: str) -> int | None:
    """The longer side of the picture at `path`, from its header; None when the path is not a
    regular file holding a picture Pillow knows. Never opens a FIFO or a device."""
    from PIL import Image

    flags = (
        os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_CLOEXEC", 0)
    )
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None
        descriptor = os.open(path, flags)
    except (OSError, ValueError):
        return None
    with open(descriptor, "rb", closefd=True) as file:
        try:
            if not stat.S_ISREG(os.fstat(descriptor).st_mode):
                return None
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", Image.DecompressionBombWarning)
                with Image.open(io.BufferedReader(file)) as picture:
                    return max(picture.size)
        except Exception:  # Pillow reports unknown or broken headers in many ways
            return None


def largest_side(items: list[Any]) -> int:
    """The longer side of the largest picture the items name; for an item that names no file,
    the side of a square at Pillow's decompression-bomb limit (the most it decodes)."""
    from PIL import Image

    limit = Image.MAX_IMAGE_PIXELS or 2**30
    largest = 0
    for item in items:
        path = _path_of(item)
        side = math.isqrt(limit) if path is None else longer_side(path)
        if side is not None:
            largest = max(largest, side)
    return largest


def worker_count(items: list[Any], requested: int | None = None) -> tuple[int, bool]:
    """(workers for a pool given `items`, whether memory held it below what was asked)."""
    wanted = max(1, min(requested or available_processors(), len(items)))
    memory = available_memory()
    if memory is None:
        return wanted, False
    fitting = max(1, memory // worker_bytes(largest_side(items) ** 2))
    return min(wanted, fitting), fitting < wanted


def worker_bytes(pixels: int) -> int:
    """The memory a worker is counted to need for a picture of `pixels` pixels (the square of
    its longer side, or a pixel limit)."""
    return WORKER_BASE_BYTES + BYTES_PER_PIXEL * pixels


def chunk_size(items: int, count: int) -> int:
    """Pictures a worker takes at a time: at most MAX_CHUNK so the progress bar still moves
    often, and at most a thirty-second of a worker's share, as the module's own pool hands out
    its slices: a chunk's vectors reach the feature store when the whole chunk is back, so an
    interrupt or a worker's death loses what the unfinished chunks hold (at most a thirty-second
    of the work). Each task costs its round trip (about 5 ms): on 258 photographs with 2
    workers, chunks of 8 took 1.9-2.0 s, of 16 1.8-1.9 s, of 32 1.7 s, which the cap of 32
    keeps for large folders; a folder small enough for shorter chunks pays at most a few tens of
    such round trips."""
    return max(1, min(MAX_CHUNK, -(-items // (32 * count))))


class CommandPool:
    """Stands where the module opens a multiprocessing pool (`with Pool(n) as pool:
    pool.map(...)`, then close() and join()). The workers start with the first map, when the
    pictures are known; `make_pool(workers)` opens the pool that does the work."""

    def __init__(
        self,
        make_pool: Callable[[int], Any],
        requested: int | None,
        on_limited: Callable[[int, int], None] | None = None,
    ) -> None:
        self._make_pool = make_pool
        self._requested = requested
        self._on_limited: Callable[[int, int], None] = on_limited or (lambda wanted, count: None)
        self._pool: Any = None
        self._count = 1

    def __enter__(self) -> CommandPool:
        return self

    def __exit__(self, *exc: Any) -> Any:
        if self._pool is not None:
            return self._pool.__exit__(*exc)
        return False

    def map(
        self, function: Callable[[Any], Any], iterable: Iterable[Any], chunksize: int | None = None
    ) -> list[Any]:
        return self.map_in_slices(function, iterable, None, chunksize)

    def map_in_slices(
        self,
        function: Callable[[Any], Any],
        iterable: Iterable[Any],
        on_slice: Callable[[int, list[Any]], object] | None,
        chunksize: int | None = None,
    ) -> list[Any]:
        """`map` that hands each finished run of results to `on_slice(first, results)` as it
        arrives (see ProgressPool.map_in_slices); search_index_lib's index build calls it so
        that the vectors read before an interrupt or a worker's death are kept."""
        items = list(iterable)
        if not items and self._pool is None:
            return []
        if self._pool is None:
            count, limited = worker_count(items, self._requested)
            if limited:
                self._on_limited(self._requested or available_processors(), count)
            self._pool = self._make_pool(count)
            self._count = count
        if chunksize is None:
            chunksize = chunk_size(len(items), self._count)
        if on_slice is None or not hasattr(self._pool, "map_in_slices"):
            results: list[Any] = self._pool.map(function, items, chunksize)
            if on_slice is not None:
                on_slice(0, results)
            return results
        sliced: list[Any] = self._pool.map_in_slices(function, items, on_slice, chunksize)
        return sliced

    def close(self) -> None:
        if self._pool is not None:
            self._pool.close()

    def terminate(self) -> None:
        if self._pool is not None:
            self._pool.terminate()

    def join(self) -> None:
        if self._pool is not None:
            self._pool.join()


class CommandPoolBinding:
    """`Pool` for the module's namespace: `Pool(module_size)` gives a CommandPool. `notes`
    collects what the command should tell (a worker count that memory held down)."""

    def __init__(
        self,
        reporter: ProgressReporter,
        requested: int | None = None,
        start_method: str | None = None,
        setup: Callable[[], None] | None = None,
    ) -> None:
        from .progress import progress_pool

        self.requested = requested
        self.notes: list[str] = []
        self._open = progress_pool(reporter, start_method, setup=functools.partial(prepare_worker, setup))

    def __call__(self, _module_pool_size: int | None = None) -> CommandPool:
        return CommandPool(self._open, self.requested, self._limited)

    def _limited(self, wanted: int, count: int) -> None:
        note = (
            f"{count} worker{'' if count == 1 else 's'} instead of {wanted}: the largest pictures "
            f"would not fit in the available memory with more"
        )
        if note not in self.notes:
            self.notes.append(note)


def bind_command_pool(
    module: Any,
    reporter: ProgressReporter,
    requested: int | None = None,
    start_method: str | None = None,
    setup: Callable[[], None] | None = None,
) -> CommandPoolBinding:
    """Binds a CommandPoolBinding as the module's `Pool`; returns it."""
    binding = CommandPoolBinding(reporter, requested, start_method, setup)
    module.Pool = binding
    return binding
