"""The comparisons of a scan run on threads of its process while the module's pool is one of
this machine's: which pools count as such, and the threads' map (results in order, nothing
left running after an error or an interruption)."""

import functools
import io
import multiprocessing
import multiprocessing.pool
import threading

import pytest

from search_index_tools.duplicates import local_comparisons
from search_index_tools.progress import ProgressReporter
from search_index_tools.workers import CommandPoolBinding


class _OwnPool(multiprocessing.pool.Pool):
    """A caller's own pool class: its map may send work anywhere."""


@pytest.mark.parametrize(
    "pool, here",
    [
        (multiprocessing.Pool, True),
        (multiprocessing.get_context("spawn").Pool, True),
        (multiprocessing.get_context("forkserver").Pool, True),
        (CommandPoolBinding(ProgressReporter(False, io.StringIO())), True),
        (_OwnPool, False),
        (functools.partial(multiprocessing.Pool, 2), False),
        (lambda size: None, False),
        (ProgressReporter(False, io.StringIO()).phase, False),  # a bound method of something else
    ],
)
def test_which_pools_run_on_this_machine(pool, here):
    assert local_comparisons.on_this_machine(pool) is here


def test_the_command_s_worker_count_sets_the_threads():
    binding = CommandPoolBinding(ProgressReporter(False, io.StringIO()), requested=3)
    assert local_comparisons.thread_count(binding) == 3
    assert local_comparisons.thread_count(multiprocessing.Pool) >= 1


def _comparing_threads():
    return [thread for thread in threading.enumerate() if thread.name.startswith("comparing")]


def test_results_come_in_the_order_of_the_items():
    """The second item finishes first (the first waits for it): the results keep the items'
    order, and the progress hears of every item."""
    second_done = threading.Event()
    counted = []

    def work(item):
        if item == 0:
            assert second_done.wait(10)
        if item == 1:
            second_done.set()
        return item * 10

    results = local_comparisons.map_on_threads(
        work, list(range(6)), 2, counted.append, lambda: counted.append("item")
    )
    assert results == [0, 10, 20, 30, 40, 50]
    assert counted == [6] + ["item"] * 6
    assert _comparing_threads() == []


def test_an_error_in_an_item_is_raised_and_leaves_no_thread():
    def work(item):
        if item == 5:
            raise ValueError("broken picture")
        return item

    with pytest.raises(ValueError, match="broken picture"):
        local_comparisons.map_on_threads(work, list(range(40)), 2)
    assert _comparing_threads() == []


def test_an_interruption_drops_the_items_not_started_and_leaves_no_thread(monkeypatch):
    """Ctrl-C while the main thread waits for results: the items not started are dropped,
    the running ones awaited. The running items are held until the pool is being shut down,
    so none can start another before the drop."""
    started = []
    release = threading.Event()

    class Executor(local_comparisons.ThreadPoolExecutor):
        def shutdown(self, wait=True, *, cancel_futures=False):
            super().shutdown(wait=False, cancel_futures=cancel_futures)
            release.set()
            super().shutdown(wait=wait)

    def work(item):
        started.append(item)
        if item > 0:
            assert release.wait(10)
        return item

    def item_done():
        raise KeyboardInterrupt

    monkeypatch.setattr(local_comparisons, "ThreadPoolExecutor", Executor)
    with pytest.raises(KeyboardInterrupt):
        local_comparisons.map_on_threads(work, list(range(40)), 2, None, item_done)
    # The first item, and at most the two that were running when it ended.
    assert started[0] == 0 and set(started) <= {0, 1, 2}
    assert _comparing_threads() == []


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_lazy_items_are_made_as_the_threads_come_free(threads):
    """Items made when taken: all results in order, the progress told the count first, and
    never more items made than the threads hold and the few taken ahead of them."""
    made, collected, counted = [], [], []
    lock = threading.Lock()

    def make(number):
        with lock:
            made.append(number)
            # Items made but whose results are not collected yet.
            assert len(made) - len(collected) <= (local_comparisons.AHEAD + 1) * threads
        return number

    results = local_comparisons.map_on_threads(
        lambda item: item * 2,
        local_comparisons.LazyItems(25, make),
        threads,
        counted.append,
        lambda: collected.append(1),
    )
    assert results == [number * 2 for number in range(25)]
    assert made == list(range(25)) and counted == [25]
    assert _comparing_threads() == []


@pytest.mark.parametrize("broken", [0, 3, 24])
def test_an_item_that_cannot_be_made_is_raised_and_leaves_no_thread(broken):
    def make(number):
        if number == broken:
            raise OSError("thumbnail gone")
        return number

    with pytest.raises(OSError, match="thumbnail gone"):
        local_comparisons.map_on_threads(lambda item: item, local_comparisons.LazyItems(25, make), 2)
    assert _comparing_threads() == []


@pytest.mark.parametrize("index, expected", [(0, 0), (4, 4), (-1, 4), (slice(1, 4), [1, 2, 3])])
def test_lazy_items_index_like_a_list(index, expected):
    assert local_comparisons.LazyItems(5, lambda number: number)[index] == expected


@pytest.mark.parametrize("index", [5, -6])
def test_lazy_items_refuse_an_index_beyond_them(index):
    with pytest.raises(IndexError):
        local_comparisons.LazyItems(5, lambda number: number)[index]
