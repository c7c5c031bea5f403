"""The verified search's reading workers: how many there are (headers read only when memory
may be short), their pool (results in order, no busy handler thread, a clean end), the caller's
decompression-bomb limit in every worker, and workers that import only the feature code."""

import multiprocessing
import multiprocessing.pool

import cv2
import numpy as np
import pool_items
import pytest
from PIL import Image
from testsupport import START_METHODS, TESTS_DIR, run_python
from verified_support import textured_photo, write

from search_index_tools import workers
from search_index_tools.verified import reading_pool
from search_index_tools.verified import search as verified_search
from search_index_tools.verified.features import picture_features

MB = 2**20
LIMIT = 10_000_000  # pixels; a worker at it: 200 MB + 12 bytes x 10^7 = 320 MB


@pytest.mark.parametrize(
    "wanted, pictures, memory, limit, headers_read, expected",
    [
        (2, 5, 4000 * MB, LIMIT, False, 2),  # room for two workers at the limit: no header read
        (8, 3, 4000 * MB, LIMIT, False, 3),  # never more workers than pictures
        (4, 5, 1000 * MB, LIMIT, True, 2),  # three fit at the limit, not four: the headers say two
        (2, 5, 4000 * MB, None, True, 2),  # no limit: only the headers bound a picture
        (2, 5, None, LIMIT, False, 2),  # the system does not say: as the command's pool does
    ],
)
def test_reader_count_reads_headers_only_when_memory_may_be_short(
    monkeypatch, tmp_path, wanted, pictures, memory, limit, headers_read, expected
):
    # The largest picture's 5000-pixel side: 200 MB + 12 x 5000^2 bytes = 500 MB a worker.
    sides = {str(tmp_path / f"{number}.png"): 5000 if number == 0 else 100 for number in range(pictures)}
    read = []
    monkeypatch.setattr(workers, "available_processors", lambda: 16)
    monkeypatch.setattr(workers, "available_memory", lambda: memory)
    monkeypatch.setattr(workers, "longer_side", lambda path: read.append(path) or sides[path])
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", limit)
    assert reading_pool.reader_count(list(sides), wanted) == expected
    assert bool(read) == headers_read


def picture_jobs(folder, count):
    paths = [
        write(folder / f"{number}.jpg", textured_photo(320 + 16 * number, 240, number))
        for number in range(count)
    ]
    return [(path, verified_search.PICTURE_SETTINGS, verified_search.THUMBNAIL_SETTINGS) for path in paths]


def same_reading(first, second):
    (first_path, first_result), (second_path, second_result) = first, second
    features, other = first_result.features, second_result.features
    return (
        first_path == second_path
        and first_result.identity == second_result.identity
        and features[:4] == other[:4]
        and np.array_equal(features.points, other.points)
        and np.array_equal(features.descriptors, other.descriptors)
        and all(np.array_equal(a, b) for a, b in zip(first_result.thumbnails, second_result.thumbnails))
    )


@pytest.mark.slow
@pytest.mark.parametrize("method", START_METHODS)
def test_pooled_reading_gives_what_reading_in_the_caller_gives(tmp_path, monkeypatch, method):
    jobs = picture_jobs(tmp_path, 7)
    monkeypatch.setattr(verified_search, "IN_PROCESS_LIMIT", 0)
    pool = verified_search._PoolChoice(multiprocessing.get_context(method), 2)
    pooled = list(verified_search._read_pictures([job[0] for job in jobs], pool))
    in_caller = [picture_features(job) for job in jobs]
    assert len(pooled) == len(in_caller) == 7
    assert all(same_reading(a, b) for a, b in zip(pooled, in_caller))


@pytest.mark.slow
@pytest.mark.parametrize("method", START_METHODS)
def test_workers_refuse_pictures_above_the_callers_pixel_limit(tmp_path, monkeypatch, method):
    # A spawn or forkserver worker starts with Pillow's own limit: the caller's lower one must
    # still keep the large picture from being decoded.
    folder = tmp_path / "pictures"
    source = textured_photo(640, 480, 8)
    write(folder / "large.png", source)
    small = write(folder / "small.png", cv2.resize(source, (320, 240), interpolation=cv2.INTER_AREA))
    write(folder / "other.png", textured_photo(320, 240, 9))
    crop = write(tmp_path / "crop.png", source[100:270, 150:380])
    monkeypatch.setattr(verified_search, "IN_PROCESS_LIMIT", 0)
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 320 * 240)
    found = verified_search.verified_cropped_search(
        crop, str(folder), use_store=False, mp_context=multiprocessing.get_context(method)
    )
    assert found == [small]


@pytest.mark.slow
@pytest.mark.parametrize("method", START_METHODS)
def test_quiet_pool_keeps_order_wakes_only_on_changes_and_ends(monkeypatch, method):
    wakes = []
    maintain = multiprocessing.pool.Pool._maintain_pool
    monkeypatch.setattr(
        multiprocessing.pool.Pool,
        "_maintain_pool",
        staticmethod(lambda *arguments: wakes.append(1) or maintain(*arguments)),
    )
    context = multiprocessing.get_context(method)
    pool = reading_pool.reading_pool(context, 2, pool_items.ignore_nothing, ())
    assert isinstance(pool, reading_pool.QuietPool)
    with pool:
        # Results of a megabyte each keep the result pipe readable for a while: a handler that
        # waited on it would wake again and again.
        results = list(pool.imap(pool_items.megabyte_of, range(40), 1))
        assert [int(result[0]) for result in results] == list(range(40))
        pool.close()
        pool.join()  # a handler that missed the close would leave this waiting for ever
    assert len(wakes) < 10


class PoolMaker:
    """A start-method object that is no multiprocessing context: it makes its own pool."""

    def __init__(self):
        self.made = []

    def Pool(self, processes, initializer, initargs):  # noqa: N802  multiprocessing's name
        pool = multiprocessing.get_context("fork").Pool(processes, initializer, initargs)
        self.made.append(pool)
        return pool


def test_a_context_that_is_no_multiprocessing_context_makes_its_own_pool():
    maker = PoolMaker()
    with reading_pool.reading_pool(maker, 1, pool_items.ignore_nothing, ()) as pool:
        assert maker.made == [pool] and pool.map(abs, [-1, -2]) == [1, 2]


@pytest.mark.slow
def test_reading_workers_import_the_feature_code_without_the_search():
    result = run_python(
        """
        import sys
        import search_index_tools.verified.features
        print("search" in sys.modules["search_index_tools.verified"].__dict__,
              "search_index_tools.verified.search" in sys.modules,
              "search_index_tools.verified.candidates" in sys.modules)
        from search_index_tools.verified import verified_cropped_matches, search
        print(verified_cropped_matches is search.verified_cropped_matches)
        """,
        cwd=TESTS_DIR,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "False", "False", "True"]
