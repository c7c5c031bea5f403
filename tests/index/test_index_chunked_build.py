"""A build that adds its rows chunk by chunk gives exactly the index of one whole-matrix add."""

import types

import faiss
import numpy as np
import pytest
from index_support import distances_logged, make_reusable, not_an_image, photo_folder


class NumpyStandIn(types.ModuleType):
    """numpy under another module object: the build then takes its whole-matrix road."""

    def __getattr__(self, name):
        return getattr(np, name)


def stored_vectors(db):
    return faiss.rev_swig_ptr(db.get_xb(), db.ntotal * db.d).reshape(db.ntotal, db.d).copy()


def many_file_folder(folder, count, bad_every):
    """`count` picture files in sub-folders of 300, every `bad_every`-th a text file."""
    paths = []
    for number in range(count):
        path = folder / f"part{number // 300:02d}" / f"photo{number:05d}.png"
        path.parent.mkdir(parents=True, exist_ok=True)
        if number % bad_every == bad_every - 1:
            not_an_image(path)
        else:
            path.touch()
        paths.append(str(path))
    return paths


@pytest.fixture
def photo_like_loader(sil, tmp_path, monkeypatch):
    """load_images giving each listed file the vector of one of 40 real pictures, shifted by
    the file's number, so thousands of rows need no thousands of JPEGs; text files give None."""
    pictures = photo_folder(tmp_path / "originals", 40, size=(80, 60))
    originals = sil.load_images([sil.ImageData(p, None) for p in pictures])

    def loader(records):
        vectors = []
        for record in records:
            number = int(record.image_path[-9:-4])
            with open(record.image_path, "rb") as file:
                is_text = file.read(5) == b"plain"
            vectors.append(None if is_text else np.roll(originals[number % 40], number))
        return vectors

    monkeypatch.setattr(sil, "load_images", loader)
    return loader


# With 32 x 32 vectors a chunk holds 2,048 rows: several chunks, one more row than a chunk,
# a single small chunk.
@pytest.mark.slow
@pytest.mark.parametrize("count, bad_every", [(5000, 7), (2050, 2048), (3, 2)])
def test_chunked_rows_equal_the_whole_matrix_road(
    sil, tmp_path, monkeypatch, cache_files, photo_like_loader, caplog, count, bad_every
):
    caplog.set_level("INFO")
    folder = tmp_path / "photos"
    paths = many_file_folder(folder, count, bad_every)
    good = [p for number, p in enumerate(paths) if number % bad_every != bad_every - 1]
    queries = [good[0], good[len(good) // 2], good[-1]]
    results, normalised = {}, {}
    for road in ("chunks", "whole matrix"):
        with monkeypatch.context() as patch:
            if road == "whole matrix":
                patch.setattr(sil, "np", NumpyStandIn("numpy"))
            for path in cache_files:
                path.unlink(missing_ok=True)
            normalised[road] = []
            with monkeypatch.context() as spy:
                spy.setattr(
                    faiss,
                    "normalize_L2",
                    lambda matrix, real=faiss.normalize_L2, seen=normalised[road]: (
                        seen.append(len(matrix)) or real(matrix)
                    ),
                )
                db, files = sil.index_a_directory(str(folder))
            found = []
            for query in queries:
                caplog.clear()
                found.append((sil.search_image(query, str(folder)), distances_logged(caplog)))
            results[road] = (stored_vectors(db), [f.image_path for f in files], found)

    chunked, whole = results["chunks"], results["whole matrix"]
    rows = count - count // bad_every
    assert len(chunked[1]) == rows and chunked[0].shape[0] == rows
    assert sum(normalised["chunks"]) == rows and normalised["whole matrix"] == [rows]
    assert (len(normalised["chunks"]) > 1) == (rows > 2048)
    assert chunked[0].tobytes() == whole[0].tobytes()
    assert chunked[1] == whole[1] and chunked[2] == whole[2]
    for (found, _), query in zip(chunked[2], queries):
        assert found[0] == query


@pytest.mark.slow
def test_reused_index_after_a_chunked_build_names_the_same_rows(sil, tmp_path, photo_like_loader, caplog):
    caplog.set_level("INFO")
    folder = tmp_path / "photos"
    paths = many_file_folder(folder, 3000, 11)
    built, built_files = sil.index_a_directory(str(folder))
    make_reusable(sil, folder)
    reused, reused_files = sil.index_a_directory(str(folder))
    assert caplog.messages[-1] == "Using cached index"
    assert [f.image_path for f in reused_files] == [f.image_path for f in built_files]
    assert stored_vectors(reused).tobytes() == stored_vectors(built).tobytes()
    for query in (paths[1], paths[1500], paths[2998]):
        assert sil.search_image(query, str(folder))[0] == query
