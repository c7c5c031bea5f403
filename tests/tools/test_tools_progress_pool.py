"""The progress pool against multiprocessing's own: order, failure, clean-up, counts, a
worker that dies, and the module's pools running on it under every start method."""

import multiprocessing

import numpy as np
import pool_items
import pytest
from testsupport import START_METHODS, TESTS_DIR, run_python, save_photo
from tools_support import Counts

from search_index_tools.progress import ProgressPool, progress_pool


def counting_pool(method, counts, processes=2):
    return ProgressPool(
        processes, context=multiprocessing.get_context(method), on_start=counts.start, on_item=counts.item
    )


@pytest.mark.slow
@pytest.mark.parametrize("method", START_METHODS)
@pytest.mark.parametrize("count", [0, 1, 37])
def test_map_gives_what_multiprocessing_gives_in_input_order(method, count):
    items = list(range(count))
    with multiprocessing.get_context(method).Pool(2) as plain:
        expected = plain.map(pool_items.scrambled_square, items)
    counts = Counts()
    with counting_pool(method, counts) as pool:
        results = pool.map(pool_items.scrambled_square, iter(items))
    assert results == expected
    assert counts.events == [("start", count)] + ["item"] * count
    assert multiprocessing.active_children() == []


@pytest.mark.parametrize("method", START_METHODS)
def test_a_failing_item_raises_as_multiprocessing_raises_and_workers_end(method):
    with multiprocessing.get_context(method).Pool(2) as plain:
        with pytest.raises(ValueError) as plain_error:
            plain.map(pool_items.fails_on_seven, range(30))
    counts = Counts()
    with pytest.raises(ValueError) as error:
        with counting_pool(method, counts) as pool:
            pool.map(pool_items.fails_on_seven, range(30))
    assert (type(error.value), str(error.value)) == (type(plain_error.value), str(plain_error.value))
    assert counts.events.count("item") < 30
    assert multiprocessing.active_children() == []


@pytest.mark.slow
@pytest.mark.parametrize("method", START_METHODS)
def test_a_dying_worker_ends_the_map_instead_of_hanging(method):
    result = run_python(
        f"""
        import multiprocessing
        import pool_items
        from search_index_tools.progress import ProgressPool

        if __name__ == "__main__":
            try:
                with ProgressPool(2, context=multiprocessing.get_context({method!r})) as pool:
                    pool.map(pool_items.dies_on_three, range(12))
            except RuntimeError as error:
                print("died:", error)
            print("left:", len(multiprocessing.active_children()))
        """,
        cwd=TESTS_DIR / "tools",
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert (
        "died: a worker process died (exit code 3) before the pool finished its 12 work items; "
        "the pool's other workers were ended"
    ) in result.stdout
    assert "left: 0" in result.stdout


@pytest.fixture
def pictures(tmp_path):
    return [sil_record(save_photo(tmp_path / f"p{seed}.png", 90 + seed, 60, seed=seed)) for seed in range(7)]


def sil_record(path):
    import search_index_lib

    return search_index_lib.ImageData(image_path=str(path), last_modified=None)


@pytest.mark.slow
@pytest.mark.parametrize("method", START_METHODS)
def test_the_modules_pools_run_on_it_with_the_same_results(method, sil, pictures, monkeypatch, tmp_path):
    # Without the feature store every picture goes through the pool again, so the counts
    # below are the listing's.
    monkeypatch.setenv("SEARCH_INDEX_LIB_FEATURE_STORE", "off")
    monkeypatch.setattr(sil, "Pool", multiprocessing.get_context(method).Pool)
    expected_vectors = sil.load_images(pictures)
    crop = tmp_path / "crop.png"
    from PIL import Image

    with Image.open(pictures[3].image_path) as source:
        source.crop((10, 5, 80, 55)).save(crop)
    expected_paths = sil.cropped_search(str(crop), str(tmp_path))

    counts = Counts()
    monkeypatch.setattr(sil, "Pool", progress_pool(counts, method))
    vectors = sil.load_images(pictures)
    assert all(np.array_equal(a, b) for a, b in zip(vectors, expected_vectors, strict=True))
    assert sil.cropped_search(str(crop), str(tmp_path)) == expected_paths
    assert counts.events == [("start", 7)] + ["item"] * 7 + [("start", 8)] + ["item"] * 8
    assert multiprocessing.active_children() == []


@pytest.mark.parametrize("method", START_METHODS)
def test_map_in_slices_hands_over_each_run_once_before_counting_it(method):
    counts = Counts()
    runs = []

    def take(first, results):
        runs.append((first, list(results)))
        counts.events.append(("run", first, len(results)))

    with counting_pool(method, counts) as pool:
        results = pool.map_in_slices(pool_items.scrambled_square, range(23), take, 4)
    assert results == [pool_items.scrambled_square(number) for number in range(23)]
    assert sorted(first for first, _ in runs) == list(range(0, 23, 4))
    for first, values in runs:
        assert values == results[first : first + 4]
    # Each run is counted right after it was handed over.
    assert counts.events[0] == ("start", 23)
    for position, event in enumerate(counts.events[1:], 1):
        if event != "item":
            assert counts.events[position + 1 : position + 1 + event[2]] == ["item"] * event[2]
    assert multiprocessing.active_children() == []


@pytest.mark.parametrize("method", START_METHODS)
def test_a_failing_run_taker_ends_the_map_and_every_worker(method):
    def refuse(first, results):
        raise OSError("the store is full")

    with pytest.raises(OSError, match="the store is full"):
        with counting_pool(method, Counts()) as pool:
            pool.map_in_slices(pool_items.scrambled_square, range(20), refuse)
    assert multiprocessing.active_children() == []
