"""search_images and search_image: ranking, normalised query, filler rows, bad queries."""

import faiss
import numpy as np
import pytest
from index_support import (
    DONE,
    ROAD_NO_INDEX,
    ROAD_REUSE,
    count_line,
    distances_logged,
    make_reusable,
    messages,
    not_an_image,
    photo_folder,
)
from PIL import Image
from testsupport import photo_array


def unit_rows(rows, dimension, seed=0):
    matrix = np.random.default_rng(seed).random((rows, dimension)).astype(np.float32)
    faiss.normalize_L2(matrix)
    db = faiss.IndexFlatL2(dimension)
    db.add(matrix)
    return db, matrix


@pytest.mark.parametrize("scale", [1.0, 3.0, 250.0])
def test_search_images_searches_the_vector_as_given(sil, scale):
    db, matrix = unit_rows(6, 16)
    faiss.cvar.distance_compute_blas_threshold = 7
    query = matrix[2] * scale  # not normalised here: the distances carry |q|^2
    distances, indices = sil.search_images(db, query, 4)
    assert faiss.cvar.distance_compute_blas_threshold == 40
    assert distances.shape == indices.shape == (1, 4) and indices[0][0] == 2
    expected = scale * scale + 1 - 2 * scale * matrix @ matrix[2]
    np.testing.assert_allclose(distances[0], np.sort(expected)[:4], rtol=1e-4, atol=1e-4)


def test_query_finds_itself_first_with_distance_zero(sil, tmp_path, logs):
    folder = tmp_path / "photos"
    pictures = photo_folder(folder, 8, size=(90, 60))
    for road in (ROAD_NO_INDEX, None, ROAD_REUSE):
        logs.clear()
        found = sil.search_image(pictures[3], str(folder))
        assert found[0] == pictures[3]
        assert len(found) == len(set(found)) == sil.SEARCH_RESULT_LIMIT
        distances = distances_logged(logs)
        assert distances[0] == pytest.approx(0, abs=1e-5)
        assert distances == sorted(distances) and distances[1] > 1e-3
        if road == ROAD_REUSE:
            assert messages(logs)[0] == ROAD_REUSE and len(messages(logs)) == 2


def near_identical_pictures(folder, count):
    """One picture at `count` brightness levels, one grey level apart. They are already
    32 x 32 grey, so the loader keeps their pixels as they are. Searched with the raw query
    vector, float32 rounding of |q|^2 (about 1.7e7) buries their differences."""
    base = np.clip(photo_array(32, 32, seed=4, channels=1), 30, 220).astype(np.int16)
    folder.mkdir(parents=True)
    paths = []
    for i in range(count):
        path = folder / f"near{i:02d}.png"
        Image.fromarray((base + i - count // 2).astype(np.uint8), "L").save(path)
        paths.append(str(path))
    return paths


@pytest.mark.slow
def test_thirty_near_identical_pictures_each_find_themselves(sil, tmp_path):
    assert sil.VECTOR_TENSOR_SIZE == 32
    folder = tmp_path / "near"
    pictures = near_identical_pictures(folder, 30)
    firsts = [sil.search_image(path, str(folder))[0] for path in pictures]
    assert firsts == pictures


@pytest.mark.parametrize("count", [1, 2, 4])
def test_fewer_images_than_the_limit_give_only_real_rows(sil, tmp_path, logs, count):
    assert count < sil.SEARCH_RESULT_LIMIT
    folder = tmp_path / "photos"
    pictures = photo_folder(folder, count)
    found = sil.search_image(pictures[0], str(folder))
    assert found[0] == pictures[0] and sorted(found) == sorted(pictures)


@pytest.mark.parametrize("limit", [7, 10**12, 2**63 - 1, 10**30])
def test_a_limit_past_the_row_count_gives_the_same_paths(sil, tmp_path, monkeypatch, limit):
    # faiss would allocate its answer for every place asked for; the places past the six
    # rows are fillers that never name a path.
    folder = tmp_path / "photos"
    pictures = photo_folder(folder, 6)
    monkeypatch.setattr(sil, "SEARCH_RESULT_LIMIT", 6)
    every_row = sil.search_image(pictures[2], str(folder))
    monkeypatch.setattr(sil, "SEARCH_RESULT_LIMIT", limit)
    assert sil.search_image(pictures[2], str(folder)) == every_row
    assert sorted(every_row) == sorted(pictures)


def test_limit_is_read_at_each_call(sil, tmp_path, monkeypatch):
    folder = tmp_path / "photos"
    pictures = photo_folder(folder, 6)
    monkeypatch.setattr(sil, "SEARCH_RESULT_LIMIT", 2)
    assert len(sil.search_image(pictures[0], str(folder))) == 2
    monkeypatch.setattr(sil, "SEARCH_RESULT_LIMIT", np.int64(2))
    with pytest.raises(TypeError, match="Argument 'k' has incorrect type"):
        sil.search_image(pictures[0], str(folder))


@pytest.mark.parametrize("query", ["text file", "empty file"])
def test_query_that_is_not_an_image_raises_naming_it(sil, tmp_path, query):
    folder = tmp_path / "photos"
    photo_folder(folder, 2)
    bad = not_an_image(tmp_path / "query.jpg", "" if query == "empty file" else "hello")
    with pytest.raises(sil.UnidentifiedImageError, match="query.jpg"):
        sil.search_image(bad, str(folder))


def test_missing_query_fails_after_the_folder_was_indexed(sil, tmp_path, logs, cache_files):
    folder = tmp_path / "photos"
    photo_folder(folder, 2)
    with pytest.raises(FileNotFoundError):
        sil.search_image(str(tmp_path / "missing.jpg"), str(folder))
    assert messages(logs) == [ROAD_NO_INDEX, count_line(2), DONE]
    assert cache_files[1].exists()


def test_new_file_between_queries_is_found(sil, tmp_path, logs):
    folder = tmp_path / "photos"
    photo_folder(folder, 3)
    make_reusable(sil, folder)
    added = photo_folder(folder / "later", 1, first_seed=40)[0]
    logs.clear()
    assert sil.search_image(added, str(folder))[0] == added
    assert messages(logs)[0] == "Hash changed, re-indexing"


UNPACKED = {
    "not iterable": lambda: 5,
    "one in a tuple": lambda: (1,),
    "three in a list": lambda: [1, 2, 3],
    "one from an iterator": lambda: iter([1]),
    "three from a generator": lambda: (x for x in "abc"),
}


@pytest.mark.parametrize("kind", UNPACKED)
def test_a_rebound_index_function_that_gives_no_pair_fails_as_unpacking_does(sil, monkeypatch, kind):
    try:
        db, all_files = UNPACKED[kind]()
    except (TypeError, ValueError) as error:
        expected = error
    monkeypatch.setattr(sil, "index_a_directory", lambda folder: UNPACKED[kind]())
    with pytest.raises(type(expected)) as raised:
        sil.search_image("query.jpg", "folder")
    assert str(raised.value) == str(expected)
