"""A process pool that reports each finished item, for progress bars.

search_index_lib looks `Pool` up in its namespace each time it opens a pool, so binding
`progress_pool(...)` there makes the module's own pools report their work without any change
to the module. `ProgressPool.map` keeps the contract of `multiprocessing.Pool.map`: results
in input order, the first failure ends the call (raised as the worker raised it), and the
pool ends its workers when its `with` block is left. It also refuses to wait forever: a
worker process that dies while items are outstanding ends the call with BrokenProcessPool,
where the plain pool would wait for the lost item for ever.

This module is imported by spawned and forkserver workers (for `_call_chunk` and
`_ignore_interrupts`), so it imports nothing heavy.
"""
import functools
import multiprocessing
import multiprocessing.pool
import signal
from concurrent.futures.process import BrokenProcessPool

# How often a waiting map looks at its workers while no result arrives (seconds).
WORKER_CHECK_INTERVAL = 0.2
# At most this many items travel to a worker together: small enough for smooth counts,
# large enough that the transfer costs little next to the work on one picture.
MAX_ITEMS_PER_TASK = 8


def _ignore_interrupts():
    """Worker start-up: Ctrl-C reaches the whole process group; the caller alone handles it
    (by ending the pool), so workers do not each print a traceback."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _call_chunk(task):
    """Runs `function` on a run of items that starts at input position `first`."""
    function, first, items = task
    return first, [function(item) for item in items]


class ProgressPool(multiprocessing.pool.Pool):
    """multiprocessing's pool whose `map` calls `on_start(total)` once and `on_item()` after
    each finished item (both in the calling process)."""

    def __init__(self, processes=None, *, context=None, on_start=None, on_item=None,
                 initializer=_ignore_interrupts):
        super().__init__(processes, initializer=initializer, context=context)
        self._on_start = on_start or (lambda total: None)
        self._on_item = on_item or (lambda: None)
        # The workers started with the pool. Without a task limit they end only when the
        # pool ends them, so one that has ended while a map waits has died.
        self._first_workers = list(self._pool)

    def map(self, func, iterable, chunksize=None):
        items = list(iterable)
        self._on_start(len(items))
        if not items:
            return []
        if chunksize is None:
            chunksize = max(1, min(MAX_ITEMS_PER_TASK, len(items) // (4 * len(self._first_workers))))
        tasks = [(func, first, items[first:first + chunksize]) for first in range(0, len(items), chunksize)]
        finished = self.imap_unordered(_call_chunk, tasks)
        results = [None] * len(items)
        for _ in tasks:
            first, chunk_results = self._next_result(finished)
            results[first:first + len(chunk_results)] = chunk_results
            for _ in chunk_results:
                self._on_item()
        return results

    def _next_result(self, finished):
        while True:
            try:
                return finished.next(WORKER_CHECK_INTERVAL)
            except multiprocessing.TimeoutError:
                self._check_workers()

    def _check_workers(self):
        dead = [worker for worker in self._first_workers if worker.exitcode is not None]
        if dead:
            codes = ", ".join(str(worker.exitcode) for worker in dead)
            raise BrokenProcessPool(f"a worker process ended unexpectedly (exit code {codes}) "
                                    "while items were still being worked on")


class ProgressReporter:
    """Counts finished items for the pools opened while a phase is active, on a tqdm bar on
    standard error. Maps outside a phase (such as loading the one query picture) show no bar."""

    def __init__(self, enabled, stream):
        self.enabled = enabled
        self.stream = stream
        self.label = None
        self.bar = None

    def phase(self, label):
        return _Phase(self, label)

    def start(self, total):
        self.close()
        if self.enabled and self.label and total:
            import tqdm

            tqdm.tqdm.monitor_interval = 0  # no monitor thread: pools may fork later
            self.bar = tqdm.tqdm(total=total, desc=self.label, unit="picture", file=self.stream,
                                 leave=False)

    def item(self):
        if self.bar is not None:
            self.bar.update(1)

    def close(self):
        if self.bar is not None:
            self.bar.close()
            self.bar = None


class _Phase:
    def __init__(self, reporter, label):
        self.reporter, self.label = reporter, label

    def __enter__(self):
        self.reporter.label = self.label
        return self.reporter

    def __exit__(self, *exc):
        self.reporter.close()
        self.reporter.label = None
        return False


def progress_pool(reporter, start_method=None, **options):
    """A `Pool` to bind in search_index_lib: called with the number of workers, as the
    module calls it, it opens a ProgressPool that reports to `reporter`. `options` go to
    ProgressPool (an `initializer` that must also ignore interrupts)."""
    context = multiprocessing.get_context(start_method)
    return functools.partial(ProgressPool, context=context, on_start=reporter.start, on_item=reporter.item,
                             **options)
