"""File identity: which changes make a file another one, or its content another; and the
verified search's store, which must never answer from features of a file's former content."""

import os
import shutil
import sqlite3

import cv2
import pytest
from verified_support import textured_photo, write

from search_index_tools import sqlite_store
from search_index_tools.file_identity import FileIdentity, file_identity
from search_index_tools.verified import cache as verified_cache
from search_index_tools.verified.search import STORE_SUFFIX, verified_cropped_search


def rewrite_keeping_times(path):
    """Other bytes of the same length, written in place, with the old times put back (as
    `cp -p` or `rsync -t` leave a file)."""
    before = os.stat(path)
    data = bytearray(open(path, "rb").read())
    data[-1] ^= 0xFF
    with open(path, "r+b") as file:
        file.write(data)
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))


def replace_by_rename(path):
    shutil.copy2(path, path + ".new")
    os.replace(path + ".new", path)


def change_permissions(path):
    os.chmod(path, 0o600)


def untouched(path):
    pass


@pytest.mark.parametrize(
    "change, same_file, same_content",
    [
        (untouched, True, True),
        (rewrite_keeping_times, True, False),
        (change_permissions, True, False),
        (replace_by_rename, False, False),
    ],
)
def test_changes_that_make_another_file_or_another_content(tmp_path, change, same_file, same_content):
    path = str(tmp_path / "picture.bin")
    with open(path, "wb") as file:
        file.write(b"0123456789" * 100)
    before = file_identity(path)
    change(path)
    after = file_identity(path)
    assert (before.same_file(after), before.same_content(after)) == (same_file, same_content)
    assert after.size == before.size


@pytest.mark.parametrize("make", [lambda p: os.mkdir(p), lambda p: os.mkfifo(p), lambda p: None])
def test_only_an_existing_regular_file_has_an_identity(tmp_path, make):
    make(str(tmp_path / "thing"))
    assert file_identity(str(tmp_path / "thing")) is None
    assert not FileIdentity(1, 2, 3, 4, 5).same_file(None)


def test_a_picture_rewritten_with_its_old_times_is_not_answered_from_stored_features(tmp_path):
    folder = tmp_path / "pictures"
    old = textured_photo(320, 240, 1)
    target = write(folder / "target.bmp", old)
    for seed in (2, 3):
        write(folder / f"other{seed}.bmp", textured_photo(320, 240, seed))
    crop = write(tmp_path / "crop.png", old[60:180, 80:240])
    assert verified_cropped_search(crop, str(folder)) == [target]

    # Another picture of the same dimensions: a BMP of the same size in bytes.
    before = os.stat(target)
    ok, encoded = cv2.imencode(".bmp", textured_photo(320, 240, 4))
    assert ok and len(encoded) == before.st_size
    with open(target, "r+b") as file:
        file.write(encoded.tobytes())
    os.utime(target, ns=(before.st_atime_ns, before.st_mtime_ns))
    assert (os.stat(target).st_size, os.stat(target).st_mtime_ns) == (before.st_size, before.st_mtime_ns)

    assert verified_cropped_search(crop, str(folder)) == []


@pytest.fixture
def searched_folder(tmp_path):
    import search_index_lib

    folder = tmp_path / "pictures"
    source = textured_photo(320, 240, 1)
    target = write(folder / "target.png", source)
    for seed in (2, 3, 5):
        write(folder / f"other{seed}.png", textured_photo(320, 240, seed))
    crop = write(tmp_path / "crop.png", source[60:180, 80:240])
    return crop, str(folder), [target], search_index_lib.CACHED_INDEXED + STORE_SUFFIX


def test_a_store_of_an_older_format_is_replaced(searched_folder):
    crop, folder, expected, store = searched_folder
    with sqlite3.connect(store) as db:  # as the store looked before it kept file identities
        db.execute("CREATE TABLE picture_features (path BLOB PRIMARY KEY, size INTEGER, mtime_ns INTEGER)")
    assert verified_cropped_search(crop, folder) == expected
    with sqlite3.connect(store) as db:
        assert db.execute("SELECT version FROM store_format").fetchall() == [(verified_cache.FORMAT.version,)]
        assert db.execute("SELECT count(*) FROM picture_features").fetchone()[0] == 4


@pytest.mark.slow
def test_a_damaged_entry_is_read_again_not_handed_out(searched_folder):
    crop, folder, expected, store = searched_folder
    verified_cropped_search(crop, folder)
    with sqlite3.connect(store) as db:  # other keypoints, under the old checksum
        db.execute("UPDATE picture_features SET points = zeroblob(length(points))")
    assert verified_cropped_search(crop, folder) == expected


@pytest.mark.slow
def test_a_store_locked_by_another_process_is_only_read(searched_folder, monkeypatch):
    crop, folder, expected, store = searched_folder
    assert verified_cropped_search(crop, folder) == expected
    monkeypatch.setattr(sqlite_store, "BUSY_TIMEOUT_SECONDS", 0.1)
    monkeypatch.setattr(sqlite_store, "_locked_out", {})
    write(os.path.join(folder, "new.png"), textured_photo(320, 240, 6))
    holder = sqlite3.connect(store, isolation_level=None)
    holder.execute("BEGIN EXCLUSIVE")
    try:
        assert verified_cropped_search(crop, folder) == expected
        # Locked out for a while: the next search leaves the store alone at once.
        assert store in sqlite_store._locked_out
        assert not verified_cache.FeatureCache(store).active
    finally:
        holder.execute("ROLLBACK")
        holder.close()
