"""The index handed out on the reuse road: read by mapping the cache file, yet a faiss
IndexFlatL2 the host may search, change and write, without touching the cache file."""

import copy
import os
import pickle
import types

import faiss
import numpy as np
import pytest
from index_support import ROAD_REUSE, make_reusable, messages, photo_folder
from testsupport import run_python


def vectors(db):
    return np.vstack([db.reconstruct(i) for i in range(db.ntotal)]) if db.ntotal else np.zeros((0, db.d))


def unit_rows(count, dimension, seed):
    rows = np.random.default_rng(seed).random((count, dimension)).astype(np.float32)
    faiss.normalize_L2(rows)
    return rows


def add_rows(db):
    db.add(unit_rows(2, db.d, seed=1))


def write_through_pointer(db):
    faiss.rev_swig_ptr(db.get_xb(), db.ntotal * db.d)[: db.d] = 0.5


def merge_another(db):
    other = faiss.IndexFlatL2(db.d)
    other.add(unit_rows(3, db.d, seed=2))
    db.merge_from(other)


CHANGES = {
    "add": add_rows,
    "add then reset": lambda db: (add_rows(db), db.reset()),
    "reset": lambda db: db.reset(),
    "remove_ids": lambda db: db.remove_ids(np.array([0, 2], dtype=np.int64)),
    "write through get_xb": write_through_pointer,
    "merge_from": merge_another,
    "resize codes": lambda db: (db.codes.resize(db.d * 4), setattr(db, "ntotal", 1)),
}


@pytest.mark.slow
@pytest.mark.parametrize("change", CHANGES)
def test_changing_the_reused_index_changes_a_copy_never_the_cache(sil, tmp_path, logs, cache_files, change):
    index_file = cache_files[1]
    folder = tmp_path / "photos"
    pictures = photo_folder(folder, 4)
    make_reusable(sil, folder)
    content = index_file.read_bytes()
    db, files = sil.index_a_directory(str(folder))
    assert messages(logs)[-1] == ROAD_REUSE and isinstance(db, faiss.IndexFlatL2)

    plain = faiss.read_index(str(index_file))  # faiss's own index, read into memory
    CHANGES[change](plain)
    CHANGES[change](db)

    assert db.ntotal == plain.ntotal and vectors(db).tobytes() == vectors(plain).tobytes()
    query = unit_rows(1, db.d, seed=3)
    for got, expected in zip(db.search(query, 3), plain.search(query, 3)):
        assert got.tobytes() == expected.tobytes()
    assert index_file.read_bytes() == content
    logs.clear()
    again, _ = sil.index_a_directory(str(folder))
    assert messages(logs) == [ROAD_REUSE] and again.ntotal == 4
    assert sil.search_image(pictures[2], str(folder))[0] == pictures[2]


def test_reused_index_searches_and_writes_like_the_plain_read(sil, tmp_path, cache_files):
    folder = tmp_path / "photos"
    photo_folder(folder, 6)
    make_reusable(sil, folder)
    db, files = sil.index_a_directory(str(folder))
    plain = faiss.read_index(str(cache_files[1]))
    query = unit_rows(2, db.d, seed=4) * 3
    for got, expected in zip(db.search(query, 4), plain.search(query, 4)):
        assert got.tobytes() == expected.tobytes()
    copy = tmp_path / "copy.faiss"
    faiss.write_index(db, str(copy))
    assert copy.read_bytes() == cache_files[1].read_bytes()
    clone = faiss.clone_index(db)
    assert clone.ntotal == 6 and vectors(clone).tobytes() == vectors(plain).tobytes()


class FaissStandIn(types.ModuleType):
    def __getattr__(self, name):
        return getattr(faiss, name)


@pytest.mark.parametrize("rebinding", ["module's faiss", "faiss.read_index"])
def test_a_host_that_rebinds_faiss_gets_the_plain_read(sil, tmp_path, logs, monkeypatch, rebinding):
    folder = tmp_path / "photos"
    pictures = photo_folder(folder, 3)
    make_reusable(sil, folder)
    reads = []
    if rebinding == "module's faiss":
        monkeypatch.setattr(sil, "faiss", FaissStandIn("faiss"))
        monkeypatch.setattr(
            sil.faiss, "read_index", lambda *args: reads.append(args) or faiss.read_index(*args)
        )
    else:
        real = faiss.read_index
        monkeypatch.setattr(faiss, "read_index", lambda *args: reads.append(args) or real(*args))
    logs.clear()
    db, files = sil.index_a_directory(str(folder))
    assert messages(logs) == [ROAD_REUSE]
    assert type(db) is faiss.IndexFlatL2 and reads == [(sil.CACHED_INDEXED,)]
    db.add(unit_rows(1, db.d, seed=5))  # faiss's own index in memory: it simply grows
    assert db.ntotal == 4
    assert sil.search_image(pictures[1], str(folder))[0] == pictures[1]


REBUILD = """
    import search_index_lib as sil
    sil.CACHE_METADATA, sil.CACHED_INDEXED = {metadata!r}, {index!r}
    db, files = sil.index_a_directory({folder!r})
    print("rows", db.ntotal)
"""


def test_mapped_index_survives_a_rebuild_by_another_process(sil, tmp_path, logs, cache_files):
    metadata, index_file = cache_files
    folder = tmp_path / "photos"
    pictures = photo_folder(folder, 5)
    make_reusable(sil, folder)
    db, files = sil.index_a_directory(str(folder))
    assert type(db) is not faiss.IndexFlatL2  # the mapped road, not a plain read
    query = unit_rows(1, db.d, seed=6)
    before = [a.tobytes() for a in db.search(query, 5)] + [vectors(db).tobytes()]

    added = photo_folder(folder, 1, first_seed=40)[0]
    child = run_python(REBUILD.format(metadata=str(metadata), index=str(index_file), folder=str(folder)))
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.stdout.split()[-2:] == ["rows", "6"]

    # The file under the old mapping is no longer the cache file, and is still searched.
    assert [a.tobytes() for a in db.search(query, 5)] + [vectors(db).tobytes()] == before
    logs.clear()
    fresh, fresh_files = sil.index_a_directory(str(folder))
    assert messages(logs) == [ROAD_REUSE] and fresh.ntotal == 6
    assert sil.search_image(added, str(folder))[0] == added
    assert sil.search_image(pictures[3], str(folder))[0] == pictures[3]


@pytest.mark.parametrize("copying", ["pickle", "deepcopy", "copy"])
def test_copies_of_the_reused_index_are_plain_indexes_in_memory(sil, tmp_path, cache_files, copying):
    folder = tmp_path / "photos"
    photo_folder(folder, 3)
    make_reusable(sil, folder)
    db, _ = sil.index_a_directory(str(folder))
    content = cache_files[1].read_bytes()
    copied = {
        "pickle": lambda: pickle.loads(pickle.dumps(db)),
        "deepcopy": lambda: copy.deepcopy(db),
        "copy": lambda: copy.copy(db),
    }[copying]()
    assert type(copied) is faiss.IndexFlatL2 and copied.codes.is_owned
    assert vectors(copied).tobytes() == vectors(db).tobytes()
    copied.add(unit_rows(1, db.d, seed=7))
    assert copied.ntotal == 4 and db.ntotal == 3 and cache_files[1].read_bytes() == content


def test_calls_share_one_mapping_of_an_unchanged_file_but_never_a_change(sil, tmp_path, cache_files):
    folder = tmp_path / "photos"
    pictures = photo_folder(folder, 4)
    make_reusable(sil, folder)
    first, _ = sil.index_a_directory(str(folder))
    second, _ = sil.index_a_directory(str(folder))
    assert first is not second and int(first.this) == int(second.this)  # one mapping, kept
    content = cache_files[1].read_bytes()

    first.verbose = True  # an attribute of the C++ index: the instance takes its own first
    assert first.verbose and not second.verbose
    second.add(unit_rows(1, second.d, seed=8))
    third, _ = sil.index_a_directory(str(folder))
    assert (first.ntotal, second.ntotal, third.ntotal) == (4, 5, 4) and not third.verbose
    assert int(first.this) != int(third.this) != int(second.this)
    assert (
        vectors(third).tobytes()
        == vectors(first).tobytes()
        == vectors(faiss.read_index(str(cache_files[1]))).tobytes()
    )
    assert cache_files[1].read_bytes() == content

    # A rebuild writes another file: the next call maps that one.
    photo_folder(folder, 1, first_seed=50)
    sil.index_a_directory(str(folder))
    sil.index_a_directory(str(folder))  # the fingerprint is stored; then reuse
    fourth, _ = sil.index_a_directory(str(folder))
    assert fourth.ntotal == 5 and int(fourth.this) != int(third.this)
    assert third.ntotal == 4 and sil.search_image(pictures[1], str(folder))[0] == pictures[1]


def test_a_rebuild_in_this_process_lets_go_of_the_kept_mapping(sil, tmp_path, cache_files):
    folder = tmp_path / "photos"
    photo_folder(folder, 3)
    make_reusable(sil, folder)
    sil.index_a_directory(str(folder))  # now mapped, and kept
    old_inode = os.stat(cache_files[1]).st_ino
    photo_folder(folder, 1, first_seed=60)
    sil.index_a_directory(str(folder))  # a new index file replaces the old one

    def maps_inode(inode):
        with open("/proc/self/maps") as maps:
            return any(line.split()[4] == str(inode) for line in maps if len(line.split()) >= 6)

    assert os.stat(cache_files[1]).st_ino != old_inode and not maps_inode(old_inode)
