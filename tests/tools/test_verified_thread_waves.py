"""Items shared among threads a wave at a time: every result in the items' order, and an
error or an interrupt in one item leaves the later waves unstarted."""

import threading

import pytest

from search_index_tools.verified import thread_waves


@pytest.mark.parametrize("count, threads", [(0, 2), (1, 2), (7, 2), (8, 2), (9, 2), (33, 3), (5, 1)])
def test_results_come_in_the_items_order(count, threads):
    items = [(number * 7919) % 101 for number in range(count)]
    used = set()

    def square(item):
        used.add(threading.get_ident())
        return item * item

    assert thread_waves.map_in_waves(square, items, threads) == [item * item for item in items]
    if threads == 1:
        assert used == {threading.get_ident()}  # one thread: the caller's own


@pytest.mark.parametrize("error", [ValueError, KeyboardInterrupt])
def test_a_failing_item_leaves_the_later_waves_unstarted(error):
    threads = 2
    wave = threads * thread_waves.ITEMS_PER_THREAD
    ran = set()

    def work(item):
        ran.add(item)
        if item == 3:
            raise error("item 3")
        return item

    with pytest.raises(error, match="item 3"):
        thread_waves.map_in_waves(work, list(range(5 * wave)), threads)
    assert 3 in ran
    assert max(ran) < wave
