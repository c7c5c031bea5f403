"""A host pool that offers map_in_slices is handed the index build's work through it, and the
vectors of each run it hands back are stored at once: what was finished before the pool
failed or was interrupted is kept, and nothing a pool says out of turn reaches the store."""

import os
import sqlite3

import numpy as np
import pytest
from store_support import store_path
from testsupport import save_photo


class SlicingPool:
    """An in-process host pool: map_in_slices works in runs of two and hands each over; it
    raises `stop` once `runs` runs were handed over. `calls` logs which entry was used."""

    def __init__(self, stop=None, runs=None):
        self.stop, self.runs, self.calls, self.taker = stop, runs, [], None

    def __call__(self, _size):
        return self

    def __enter__(self):
        return self

    def __exit__(self, *error):
        return False

    def close(self):
        pass

    def join(self):
        pass

    def map(self, function, items):
        self.calls.append(("map", len(items)))
        return [function(item) for item in items]

    def map_in_slices(self, function, items, on_slice):
        self.calls.append(("map_in_slices", len(items)))
        self.taker = on_slice
        results = []
        for first in range(0, len(items), 2):
            if self.runs is not None and first // 2 == self.runs:
                raise self.stop
            run = [function(item) for item in items[first : first + 2]]
            on_slice(first, run)
            results.extend(run)
        return results


def stored(sil):
    if not os.path.exists(store_path(sil)):
        return set()
    with sqlite3.connect(store_path(sil)) as connection:
        return {os.fsdecode(row[0]) for row in connection.execute("SELECT path FROM vectors")}


@pytest.fixture
def pictures(sil, tmp_path):
    return [
        sil.ImageData(str(save_photo(tmp_path / f"p{number}.png", 60, 40, seed=number)), None)
        for number in range(7)
    ]


@pytest.mark.parametrize("stop", [KeyboardInterrupt(), RuntimeError("a worker process died")])
def test_runs_handed_over_before_a_failure_are_kept_and_not_read_again(sil, pictures, monkeypatch, stop):
    monkeypatch.setattr(sil, "Pool", SlicingPool(stop, runs=2))
    with pytest.raises(type(stop)):
        sil.load_images(pictures)
    assert stored(sil) == {record.image_path for record in pictures[:4]}

    again = SlicingPool()
    monkeypatch.setattr(sil, "Pool", again)
    vectors = sil.load_images(pictures)
    assert again.calls == [("map_in_slices", 3)]  # only what the failed map did not finish
    for record, vector in zip(pictures, vectors):
        assert np.array_equal(vector, sil.load_image(record))
    assert stored(sil) == {record.image_path for record in pictures}


def test_the_slice_callable_refuses_calls_once_its_map_has_returned(sil, pictures, monkeypatch):
    pool = SlicingPool()
    monkeypatch.setattr(sil, "Pool", pool)
    sil.load_images(pictures[:2])
    with pytest.raises(RuntimeError, match="has ended"):
        pool.taker(0, [sil.load_image(pictures[0])])


@pytest.mark.parametrize("first, results", [(-1, None), (1, None), (5, None), (0, [])])
def test_runs_out_of_range_are_not_stored(sil, pictures, monkeypatch, first, results):
    class OutOfTurn(SlicingPool):
        def map_in_slices(self, function, items, on_slice):
            vectors = [function(item) for item in items]
            on_slice(first, vectors if results is None else results)
            return vectors

    monkeypatch.setattr(sil, "Pool", OutOfTurn())
    sil.load_images(pictures[:2])
    # (0, []) is a run of no results; the others name positions the map does not have.
    assert stored(sil) == set()


def test_runs_of_another_kind_than_a_list_are_refused(sil, pictures, monkeypatch):
    class Tupled(SlicingPool):
        def map_in_slices(self, function, items, on_slice):
            vectors = [function(item) for item in items]
            on_slice(0, tuple(vectors))
            return vectors

    monkeypatch.setattr(sil, "Pool", Tupled())
    with pytest.raises(TypeError):
        sil.load_images(pictures[:2])
    assert stored(sil) == set()


def test_without_the_store_the_host_pool_gets_its_plain_map(sil, pictures, monkeypatch):
    monkeypatch.setenv("SEARCH_INDEX_LIB_FEATURE_STORE", "off")
    pool = SlicingPool()
    monkeypatch.setattr(sil, "Pool", pool)
    sil.load_images(pictures)
    assert pool.calls == [("map", 7)]
