"""The SQLite stores' shared connection policy: a store only ever saves work, so a damaged,
foreign, locked, read-only or unreachable file is worked around and never fails the caller.
The three stores of the package (verified features, candidate words, duplicate reads) are
driven through the same cases where their behaviour must be the same."""

import array
import contextlib
import fcntl
import os
import sqlite3

import numpy as np
import pytest

from search_index_tools import sqlite_store
from search_index_tools.duplicates.reading import THUMBNAIL_SIDE, PictureRead
from search_index_tools.duplicates.store import PictureStore
from search_index_tools.file_identity import FileIdentity
from search_index_tools.verified import candidates
from search_index_tools.verified.cache import FeatureCache
from search_index_tools.verified.features import Features, ReadResult

IDENTITY = FileIdentity(1, 2, 3, 4, 5)
PICTURE = "/pictures/a.png"


class Features_:
    """The verified search's feature store, with one picture's keypoints."""

    name = "features"

    @staticmethod
    def open(path):
        return FeatureCache(path)

    @staticmethod
    def write(store):
        rng = np.random.default_rng(1)
        points, descriptors = rng.random((5, 2), np.float32), rng.integers(0, 256, (5, 32), np.uint8)
        features = Features(40, 30, 40, 30, points, descriptors)
        store.store([(PICTURE, ReadResult(IDENTITY, features))], "settings")

    @staticmethod
    def read(store):
        found = store.lookup(PICTURE, IDENTITY, "settings")
        return None if found is None else found.features.descriptors.tobytes()


class Words:
    """The verified search's candidate index, with one picture's words."""

    name = "words"

    @staticmethod
    def open(path):
        candidates._LOADED.clear()  # read from the file, not from this process's memory
        return candidates.WordStore(path)

    @staticmethod
    def write(store):
        descriptors = np.random.default_rng(2).integers(0, 256, (64, 32), np.uint8)
        vocabulary = store.save_vocabulary(candidates.Vocabulary.train(descriptors))
        index = candidates.CandidateIndex(vocabulary)
        words = np.sort(vocabulary.words(descriptors[:8])).astype(np.uint32)
        index.add(PICTURE, "key", (40, 30), words, np.arange(8, dtype=np.uint32))
        store.save(index, [PICTURE], [])

    @staticmethod
    def read(store):
        index = store.load()
        return None if index is None else tuple(index.paths())


class Duplicates:
    """The duplicate finder's store, with one picture's thumbnail."""

    name = "duplicates"

    @staticmethod
    def open(path):
        return PictureStore(path)

    @staticmethod
    def write(store):
        thumbnail = bytes(range(256)) * (THUMBNAIL_SIDE**2 // 256)
        store.store([PictureRead(PICTURE, IDENTITY, b"s" * 16, 40, 30, thumbnail)])

    @staticmethod
    def read(store):
        found = store.lookup({PICTURE: IDENTITY}).get(PICTURE)
        return None if found is None else found.thumbnail


STORES = [pytest.param(kind, id=kind.name) for kind in (Features_, Words, Duplicates)]


@pytest.fixture(autouse=True)
def quick_locks(monkeypatch):
    monkeypatch.setattr(sqlite_store, "BUSY_TIMEOUT_SECONDS", 0.2)
    monkeypatch.setattr(sqlite_store, "_locked_out", {})
    candidates._LOADED.clear()


def written(kind, path):
    """What the store at `path` reads back after one entry was written and the store reopened."""
    store = kind.open(path)
    kind.write(store)
    store.close()
    reopened = kind.open(path)
    try:
        return kind.read(reopened) if reopened._store.active else None
    finally:
        reopened.close()


def format_rows(path):
    with sqlite3.connect(path) as db:
        return db.execute("SELECT version FROM store_format").fetchall()


@pytest.mark.parametrize("kind", STORES)
def test_an_entry_is_read_back_after_reopening(kind, tmp_path):
    assert written(kind, str(tmp_path / "store.sqlite")) is not None


def garbage(path):
    with open(path, "wb") as file:
        file.write(b"this is no database " * 300)


def half_a_store(path):
    """A real store cut short, as a full disk or a crash during a copy leaves it."""
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE filler (data BLOB)")
    db.executemany("INSERT INTO filler VALUES (?)", [(os.urandom(3000),) for _ in range(40)])
    db.commit()
    db.close()
    with open(path, "r+b") as file:
        file.truncate(os.path.getsize(path) // 2 + 100)


def older_store(path):
    """A database with tables but no format row, as stores were before they had one."""
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE pictures (path BLOB PRIMARY KEY, size INTEGER, mtime_ns INTEGER)")
        db.execute("INSERT INTO pictures VALUES (x'00', 1, 2)")


def other_format(path):
    """A store of another format (say, made by an older version of the code)."""
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE store_format (version TEXT NOT NULL)")
        db.execute("INSERT INTO store_format VALUES ('some store 0')")


@pytest.mark.parametrize("kind", STORES)
@pytest.mark.parametrize("spoil", [garbage, half_a_store, older_store, other_format])
def test_a_file_nobody_can_use_as_this_store_is_replaced(kind, spoil, tmp_path):
    path = str(tmp_path / "store.sqlite")
    spoil(path)
    assert written(kind, path) is not None
    assert format_rows(path) == [(kind.open(path)._store.format.version,)]


@pytest.mark.parametrize("kind", STORES)
def test_a_folder_standing_where_the_file_should_be_means_no_store(kind, tmp_path):
    path = tmp_path / "store.sqlite"
    path.mkdir()
    store = kind.open(str(path))
    assert not store._store.active
    kind.write(store)  # quietly does nothing
    assert kind.read(store) is None
    assert path.is_dir() and not os.listdir(path)


@pytest.mark.parametrize("kind", STORES)
def test_a_store_locked_by_another_process_is_waited_for_then_only_read(kind, tmp_path):
    path = str(tmp_path / "store.sqlite")
    expected = written(kind, path)
    store = kind.open(path)
    holder = sqlite3.connect(path, isolation_level=None)
    holder.execute("BEGIN IMMEDIATE")
    try:
        kind.write(store)  # waits for the busy timeout, then gives up without an error
        assert store._store.active and not store._store.writable
        assert kind.read(store) == expected
        # The store is left alone for a while: another search of this process does not wait.
        assert not kind.open(path)._store.active
    finally:
        holder.execute("ROLLBACK")
        holder.close()
        store.close()
    sqlite_store._locked_out.clear()  # the back-off is over
    assert written(kind, path) == expected


def test_a_store_made_by_code_with_another_schema_is_replaced(tmp_path):
    path = str(tmp_path / "s.sqlite")
    old = sqlite_store.SqliteStore(path, sqlite_store.StoreFormat("s 1", ("CREATE TABLE t (a)",)))
    old.connection.execute("INSERT INTO t VALUES (1)")
    old.close()
    new = sqlite_store.SqliteStore(path, sqlite_store.StoreFormat("s 1", ("CREATE TABLE t (a, b)",)))
    assert new.connection.execute("SELECT * FROM t").fetchall() == []
    new.connection.execute("INSERT INTO t VALUES (1, 2)")


def test_several_statements_in_one_schema_entry_are_all_made(tmp_path):
    schema = (
        "CREATE TABLE one (a TEXT DEFAULT ';'); CREATE TABLE two (b INTEGER);",
        "CREATE TABLE three (c)",
    )
    store = sqlite_store.SqliteStore(str(tmp_path / "s.sqlite"), sqlite_store.StoreFormat("s 1", schema))
    assert store.connection is not None
    query = "SELECT name FROM sqlite_master WHERE type = 'table'"
    tables = {row[0] for row in store.connection.execute(query)}
    assert tables == {"store_format", "one", "two", "three"}


def test_a_damaged_page_met_in_use_removes_the_store(tmp_path):
    """Damage the check on opening did not look for (it is skipped for stores read whole
    anyway): the query fails, the caller goes on, and the file goes, to be made anew."""
    path = str(tmp_path / "store.sqlite")
    store_format = sqlite_store.StoreFormat("s 1", ("CREATE TABLE t (data BLOB)",), check_on_open=False)
    store = sqlite_store.SqliteStore(path, store_format)
    store.connection.executemany("INSERT INTO t VALUES (?)", [(os.urandom(3000),) for _ in range(40)])
    store.close()
    with open(path, "r+b") as file:  # the header and the schema page stay, the rows' pages go
        file.seek(8192)
        file.write(b"\xff" * 40000)
    store = sqlite_store.SqliteStore(path, store_format)
    with pytest.raises(sqlite3.DatabaseError) as raised:
        store.connection.execute("SELECT sum(length(data)) FROM t").fetchall()
    store.fail(raised.value)
    assert not store.active and not os.path.exists(path)
    assert sqlite_store.SqliteStore(path, store_format).active


@contextlib.contextmanager
def unwritable(folder):
    """Makes `folder` unwritable for this process: by its mode, or, for root (whom modes do
    not stop), by the file system's immutable flag."""
    if os.geteuid() != 0:
        os.chmod(folder, 0o555)
        try:
            yield
        finally:
            os.chmod(folder, 0o755)
        return
    descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        flags = array.array("i", [0])
        fcntl.ioctl(descriptor, FS_IOC_GETFLAGS, flags, True)
        fcntl.ioctl(descriptor, FS_IOC_SETFLAGS, array.array("i", [flags[0] | FS_IMMUTABLE_FL]))
        try:
            yield
        finally:
            fcntl.ioctl(descriptor, FS_IOC_SETFLAGS, flags)
    finally:
        os.close(descriptor)


FS_IOC_GETFLAGS, FS_IOC_SETFLAGS, FS_IMMUTABLE_FL = 0x80086601, 0x40086602, 0x10
SIMPLE = sqlite_store.StoreFormat("s 1", ("CREATE TABLE t (a)",))


def test_a_store_in_an_unwritable_folder_is_only_read_or_not_used(tmp_path):
    existing = sqlite_store.SqliteStore(str(tmp_path / "existing.sqlite"), SIMPLE)
    existing.connection.execute("INSERT INTO t VALUES (1)")
    existing.close()
    with unwritable(tmp_path):
        with pytest.raises(OSError):  # the folder really is unwritable
            (tmp_path / "probe").write_bytes(b"")
        assert not sqlite_store.SqliteStore(str(tmp_path / "new.sqlite"), SIMPLE).active
        store = sqlite_store.SqliteStore(str(tmp_path / "existing.sqlite"), SIMPLE)
        # The write-ahead log's files cannot be made: either the store is not used, or it is
        # read and a write is refused without failing the caller.
        if store.active:
            assert store.connection.execute("SELECT a FROM t").fetchall() == [(1,)]
            with pytest.raises(sqlite3.Error) as raised:
                store.connection.execute("INSERT INTO t VALUES (2)")
            store.fail(raised.value)
            assert not store.writable
        store.close()
    assert not (tmp_path / "new.sqlite").exists()
    store = sqlite_store.SqliteStore(str(tmp_path / "existing.sqlite"), SIMPLE)
    assert store.connection.execute("SELECT a FROM t").fetchall() == [(1,)]
