"""Candidate pairs from the rows a neighbour search returns: every close row of another picture
proposes the pair under that row's transform, turned round when the row is of an earlier
picture, and a pair met several times is proposed under all its transforms at once."""

import contextlib
import threading

import numpy as np
import pytest
from testsupport import save_photo

from search_index_tools import scan_duplicates
from search_index_tools.duplicates import descriptor, grouping, kept_grouping, pair_verdicts

COUNT = 4
INVERSE = descriptor.inverse


def _row(picture, transform):
    return transform * COUNT + picture


@pytest.mark.parametrize(
    "first, scores, rows, inner_product, limit, expected",
    [
        pytest.param(0, [[0.99, 0.9]], [[_row(0, 0), _row(0, 3)]], True, 0.55, {}, id="own rows"),
        pytest.param(0, [[0.9, 0.9]], [[-1, -1]], True, 0.55, {}, id="missing rows"),
        pytest.param(
            0, [[0.9, 0.5]], [[_row(1, 0), _row(2, 2)]], True, 0.55, {(0, 1): {0}}, id="below the limit"
        ),
        pytest.param(
            2,
            [[0.9, 0.8]],
            [[_row(3, 1), _row(0, 1)]],
            True,
            0.55,
            {(2, 3): {1}, (0, 2): {INVERSE(1)}},
            id="later and earlier pictures",
        ),
        pytest.param(
            0,
            [[0.9, 0.8], [0.9, 0.7]],
            [[_row(1, 5), _row(1, 6)], [_row(0, 1), _row(2, 0)]],
            True,
            0.55,
            {(0, 1): {5, 6, INVERSE(1)}, (1, 2): {0}},
            id="met from both sides",
        ),
        pytest.param(0, [[1.0, 3.0]], [[_row(1, 4), _row(2, 0)]], False, 2.0, {(0, 1): {4}}, id="distances"),
        pytest.param(
            0,
            [[np.float32(0.7), np.nextafter(np.float32(0.7), np.float32(0))]],
            [[_row(1, 0), _row(2, 0)]],
            True,
            0.7,
            {(0, 1): {0}},
            id="a score at the limit in its own precision",
        ),
    ],
)
def test_candidates_of_crafted_neighbour_rows(first, scores, rows, inner_product, limit, expected):
    scores = np.array(scores, dtype=np.float32)
    rows = np.array(rows, dtype=np.int64)
    found: grouping.Candidates = {}
    grouping.collect_candidates(found, first, scores, rows, COUNT, inner_product, limit)
    assert found == expected
    merged = grouping.merged_candidates(
        [grouping.neighbour_candidates(first, scores, rows, COUNT, inner_product, limit)], COUNT
    )
    as_arrays = {
        (i, j): {t for t in range(8) if mask >> t & 1}
        for i, j, mask in zip(merged.first.tolist(), merged.second.tolist(), merged.masks.tolist())
    }
    assert as_arrays == expected
    assert list(as_arrays) == sorted(expected)


def test_candidates_added_to_earlier_ones_keep_those():
    found: grouping.Candidates = {(0, 1): {3}}
    scores = np.array([[0.9]], dtype=np.float32)
    grouping.collect_candidates(found, 1, scores, np.array([[_row(0, 2)]]), COUNT, True, 0.55)
    assert found == {(0, 1): {3, INVERSE(2)}}


@pytest.fixture(scope="module")
def small_library(tmp_path_factory):
    folder = tmp_path_factory.mktemp("library") / "library"
    for number in range(90):
        path = save_photo(folder / f"d{number % 2}" / f"p{number:03d}.png", 64, 48, seed=8000 + number)
        if number % 6 == 0:
            from PIL import Image

            with Image.open(path) as picture:
                picture.transpose(Image.Transpose.ROTATE_180).save(
                    folder / f"d{number % 2}" / f"t{number:03d}.png"
                )
    return folder


@pytest.mark.parametrize("flat_limit", [10**6, 64], ids=["exact search", "inverted file"])
def test_the_store_road_compares_the_candidates_of_the_road_without_it(
    small_library, monkeypatch, flat_limit
):
    """The scan that keeps its decisions joins the sharp and the blurred search's candidates
    on its own; it must compare exactly the pairs, under exactly the transforms, that the
    scan without the store compares."""
    monkeypatch.setattr(grouping, "FLAT_LIMIT", flat_limit)
    monkeypatch.setattr(grouping, "IVF_PROBES", 3)
    compared = {}
    verdicts = pair_verdicts.verdicts

    def spy(thumbnails, sizes, pairs, *args, **kwargs):
        compared.setdefault("without", []).extend(
            (first, second, mask, plain) for first, second, mask, plain in pairs
        )
        return verdicts(thumbnails, sizes, pairs, *args, **kwargs)

    verify_all = kept_grouping._verify_all

    def spy_kept(pictures, thumbnails, unknown, *args, **kwargs):
        compared["with"] = [(first, second, mask, plain) for plain, first, second, mask, _ in unknown]
        return verify_all(pictures, thumbnails, unknown, *args, **kwargs)

    monkeypatch.setattr(pair_verdicts, "verdicts", spy)
    without = scan_duplicates(small_library, use_store=False)
    monkeypatch.setattr(pair_verdicts, "verdicts", verdicts)
    monkeypatch.setattr(kept_grouping, "_verify_all", spy_kept)
    kept = scan_duplicates(small_library)
    assert kept.groups == without.groups
    assert len(kept.groups) >= 15  # every turned copy is found
    assert sorted(compared["with"]) == sorted(compared["without"])
    assert len(compared["with"]) > 100


def _photo_like_vectors(count, seed):
    """Coarse vectors of smooth, photo-like thumbnails: random cells blown up, with grain."""
    rng = np.random.default_rng(seed)
    cells = rng.integers(0, 256, size=(count, 8, 8)).astype(np.float32)
    grey = np.kron(cells, np.ones((8, 8), dtype=np.float32)) + rng.normal(0, 6, size=(count, 64, 64))
    return descriptor.coarse_vectors(np.clip(grey, 0, 255).astype(np.uint8))


@pytest.mark.parametrize("inner_product", [True, False], ids=["inner product", "L2"])
def test_the_inverted_file_searched_in_list_order_answers_every_query_as_in_its_own_order(
    monkeypatch, inner_product
):
    """The queries are put in the order of their lists for the search and their answers
    put back: each must get exactly the scores and rows a search in the given order gives."""
    monkeypatch.setattr(grouping, "FLAT_LIMIT", 1000)
    monkeypatch.setattr(grouping, "_QUERY_BATCH", 700)  # several batches, each mixing lists
    vectors = _photo_like_vectors(1500, seed=5)
    rows = np.concatenate([descriptor.transformed_coarse(vectors, index) for index in range(8)])
    index = grouping._neighbour_index(rows, inner_product)
    assert index.nlist > 1
    expected_scores, expected_rows = index.search(vectors, 20)
    scores, found = grouping.neighbour_search(index, vectors, 20)
    assert scores.tobytes() == expected_scores.tobytes()
    assert np.array_equal(found, expected_rows)
    # Each picture's own unturned row is among its nearest: the answers are each query's own.
    assert (found == np.arange(len(vectors))[:, None]).any(axis=1).all()


@pytest.mark.parametrize("host_threads", [1, 3])
@pytest.mark.parametrize("failing", [False, True], ids=["done", "failed"])
def test_faiss_threads_are_the_calling_threads_setting_and_are_put_back(host_threads, failing):
    import faiss

    def in_another_thread():
        found = []
        other = threading.Thread(target=lambda: found.append(faiss.omp_get_max_threads()))
        other.start()
        other.join()
        return found[0]

    before, others = faiss.omp_get_max_threads(), in_another_thread()
    faiss.omp_set_num_threads(host_threads)
    seen = {}
    try:
        with contextlib.suppress(RuntimeError), grouping.faiss_threads(faiss):
            seen.update(inside=faiss.omp_get_max_threads(), other=in_another_thread())
            if failing:
                raise RuntimeError("the build failed")
        seen["after"] = faiss.omp_get_max_threads()
    finally:
        faiss.omp_set_num_threads(before)
    # The host's other threads keep their own count, never this one's.
    assert seen == {"inside": 1, "other": others, "after": host_threads}


@pytest.mark.parametrize("failing", ["sharp", "blurred"])
def test_a_failing_search_fails_the_scan_and_leaves_no_thread(small_library, monkeypatch, failing):
    candidates = kept_grouping._KindSearch.candidates

    def failing_search(search):
        if (search.neighbours == grouping.BLURRED_NEIGHBOURS) == (failing == "blurred"):
            raise MemoryError(f"the {failing} search")
        return candidates(search)

    monkeypatch.setattr(kept_grouping._KindSearch, "candidates", failing_search)
    with pytest.raises(MemoryError, match=failing):
        scan_duplicates(small_library)
    assert not [thread for thread in threading.enumerate() if thread.name.startswith("candidates")]
