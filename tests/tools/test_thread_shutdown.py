"""Ctrl-C pressed twice while the command's threads work: the second arrives while the threads
are awaited. A thread left running inside native code when the interpreter ends aborts the
process, so every thread map waits on, and raises the interruption once its threads are done."""

import signal
import threading
import time

import pytest

from search_index_tools.duplicates import local_comparisons
from search_index_tools.verified import thread_waves


def compare_interrupted_on_items(compare, first_interrupt):
    """The comparisons' map: the first Ctrl-C reaches the caller as a result is collected."""
    local_comparisons.map_on_threads(compare, [0, 1], 2, on_item=first_interrupt)


def waves_interrupted_in_an_item(compare, first_interrupt):
    """The crop search's map: the first Ctrl-C comes out of an item (a thread's work)."""

    def work(item):
        result = compare(item)
        if item == 0:
            first_interrupt()
        return result

    thread_waves.map_in_waves(work, [0, 1], 2)


@pytest.mark.parametrize("interrupted_map", [compare_interrupted_on_items, waves_interrupted_in_an_item])
def test_a_second_interrupt_still_waits_for_the_threads(interrupted_map):
    if threading.current_thread() is not threading.main_thread():
        pytest.fail("signals are delivered to the main thread only")
    started, finished = threading.Event(), threading.Event()

    def compare(item):
        if item == 0:
            started.wait(5)  # the interruption comes while the other item runs
        else:
            started.set()
            time.sleep(0.3)  # a long piece of native work, the interpreter let go
            finished.set()
        return item

    def first_interrupt():
        signal.setitimer(signal.ITIMER_REAL, 0.05)  # the second, while the threads are awaited
        raise KeyboardInterrupt

    def second_interrupt(*_):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, second_interrupt)
    try:
        with pytest.raises(KeyboardInterrupt):
            interrupted_map(compare, first_interrupt)
        assert finished.is_set(), "the call returned while a thread was still at work"
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
