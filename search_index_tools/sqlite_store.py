"""How the package's SQLite stores open, fail and recover: one connection policy for all.

Every store of this package only ever saves work (read features, candidate words, duplicate
reads): it is never a source of truth, and no error in it may fail a search. So:

- A store file carries a format row naming the store and a digest of its schema. A file
  without it (an older store), with another format, or that is no sound database is replaced
  by a new, empty store once; a store whose schema changes in the code is thus replaced, never
  half-read.
- Which error it is comes from SQLite's result codes, never from its message text. A store
  another process keeps locked for a whole busy timeout is only read from then on, and this
  process leaves it alone for a while, so that a stuck holder costs one wait, not one per
  search. A read-only store is only read. A missing or unwritable folder means no store.
- A damaged store found while in use is closed and removed, to be made anew next time.
"""

from __future__ import annotations

import os
import sqlite3
import time
import zlib
from collections.abc import Sequence
from typing import ClassVar, NamedTuple

# How long a writer waits for another process's transaction before it gives up on storing.
BUSY_TIMEOUT_SECONDS = 2.0
# After a store stayed locked for a whole busy timeout, this process leaves it alone for a
# while, so that a store held by a stuck process costs one wait rather than one per search.
LOCKED_BACK_OFF_SECONDS = 30.0
_locked_out: dict[str, float] = {}  # store path: when this process may open it again

# SQLite's primary result codes (the low byte of an extended code).
SQLITE_BUSY, SQLITE_LOCKED, SQLITE_READONLY = 5, 6, 8
SQLITE_CORRUPT, SQLITE_NOTADB = 11, 26
_UNAVAILABLE_NOW = (SQLITE_BUSY, SQLITE_LOCKED)
_DAMAGED = (SQLITE_CORRUPT, SQLITE_NOTADB)

FORMAT_TABLE = "store_format"


class StoreFormat(NamedTuple):
    """What a store file holds: its name and version, its tables (statements run once when a
    new file is made), and whether a file is checked for damaged pages when opened (a check
    reads the whole file: worth it where a damaged page would otherwise surface half-way
    through a search)."""

    name: str
    schema: Sequence[str]
    check_on_open: bool = True

    @property
    def version(self) -> str:
        """The format row: the name and a digest of the schema, so that a store made by code
        with other tables or columns is recognised as another format."""
        digest = zlib.crc32("\n".join(self.schema).encode())
        return f"{self.name}; schema {digest:08x}"


class FormatMismatch(Exception):
    """The file is a database, but not a store of this format."""


def primary_code(error: BaseException) -> int | None:
    """SQLite's primary result code of `error`, None when it carries none."""
    code = getattr(error, "sqlite_errorcode", None)
    return None if code is None else int(code) & 0xFF


def is_damage(error: BaseException) -> bool:
    """Whether the file is no sound database (not a database, a damaged page), as opposed to
    one that is only unavailable now (locked, busy, read-only, no such folder)."""
    code = primary_code(error)
    if code is not None:
        return code in _DAMAGED
    # An error raised by Python's module itself carries no code: only its class tells.
    return isinstance(error, sqlite3.DatabaseError) and not isinstance(error, sqlite3.OperationalError)


def is_locked_out(file_path: str) -> bool:
    """Whether this process leaves the store at `file_path` alone for now."""
    return time.monotonic() < _locked_out.get(file_path, 0.0)


def remove_store_files(file_path: str) -> None:
    """Removes a store file with its write-ahead log and shared-memory index."""
    for suffix in ("", "-wal", "-shm"):
        try:
            os.unlink(file_path + suffix)
        except OSError:
            pass


class SqliteStore:
    """One process's connection to a store file, under the policy above. `connection` is
    None while the store is not in use (no file given, unusable, or given up after an error);
    `writable` turns False after a lock or a read-only file, and the store is then only read."""

    def __init__(self, file_path: str | None, store_format: StoreFormat):
        self.path = file_path
        self.format = store_format
        self.connection: sqlite3.Connection | None = None
        self.writable = True
        if file_path is not None and not is_locked_out(file_path):
            self.connection = _open(file_path, store_format)

    @property
    def active(self) -> bool:
        return self.connection is not None

    def fail(self, error: BaseException, damaged: bool = False) -> None:
        """Stops using the store after `error`. A store locked by another process or a
        read-only one only stops writing; a damaged one (or one the caller found `damaged`,
        say a stored value that cannot be decoded) is closed and removed, to be made anew;
        anything else closes the connection for this process."""
        code = primary_code(error)
        if code in _UNAVAILABLE_NOW and self.path is not None:
            _locked_out[self.path] = time.monotonic() + LOCKED_BACK_OFF_SECONDS
        if code in (*_UNAVAILABLE_NOW, SQLITE_READONLY) and self.connection is not None:
            self.writable = False
            return
        self.close()
        if (damaged or is_damage(error)) and self.path is not None:
            remove_store_files(self.path)

    def close(self) -> None:
        if self.connection is not None:
            try:
                self.connection.close()
            except sqlite3.Error:
                pass
            self.connection = None


class StoreClient:
    """The base of a store class: its schema and queries are its own, its connection is a
    SqliteStore of its STORE_FORMAT. `_db` is None while the store is not in use; `_fail`
    hands an error to the policy; `_writable` turns False when the store may only be read."""

    STORE_FORMAT: ClassVar[StoreFormat]

    def __init__(self, file_path: str | None):
        self._store = SqliteStore(file_path, self.STORE_FORMAT)

    @property
    def active(self) -> bool:
        return self._store.active

    @property
    def _db(self) -> sqlite3.Connection | None:
        return self._store.connection

    @property
    def _writable(self) -> bool:
        return self._store.writable

    def _fail(self, error: BaseException) -> None:
        self._store.fail(error)

    def close(self) -> None:
        self._store.close()


def _open(file_path: str, store_format: StoreFormat) -> sqlite3.Connection | None:
    """A prepared connection to the store; a damaged file or one of another format is
    replaced by a new store once. None when no usable connection can be had."""
    for _ in range(2):
        try:
            return _connect(file_path, store_format)
        except sqlite3.Error as error:
            if primary_code(error) in _UNAVAILABLE_NOW:
                _locked_out[file_path] = time.monotonic() + LOCKED_BACK_OFF_SECONDS
            if not is_damage(error):
                return None  # locked, read-only folder, missing folder: no store this time
        except FormatMismatch:
            pass
        except OSError:
            return None
        # Nobody can read it as this store, so it is replaced.
        remove_store_files(file_path)
    return None


def _connect(file_path: str, store_format: StoreFormat) -> sqlite3.Connection:
    db = sqlite3.connect(file_path, timeout=BUSY_TIMEOUT_SECONDS, isolation_level=None)
    try:
        db.execute("PRAGMA journal_mode=WAL").fetchone()
        # WAL with NORMAL synchronisation stays consistent after a crash; at worst the last
        # transactions are lost, which a cache can afford.
        db.execute("PRAGMA synchronous=NORMAL")
        if not _has_format_table(db):
            _create_schema(db, store_format)
        versions = db.execute(f"SELECT version FROM {FORMAT_TABLE}").fetchall()
        if versions != [(store_format.version,)]:
            raise FormatMismatch()
        # A damaged page is found here rather than half-way through a search.
        if store_format.check_on_open and db.execute("PRAGMA quick_check").fetchone()[0] != "ok":
            raise sqlite3.DatabaseError("store failed its check")
    except BaseException:
        db.close()
        raise
    return db


def _has_format_table(db: sqlite3.Connection) -> bool:
    query = "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?"
    return bool(db.execute(query, (FORMAT_TABLE,)).fetchone()[0])


def _create_schema(db: sqlite3.Connection, store_format: StoreFormat) -> None:
    """Makes the tables of a new store. Two processes may do so at once: the second finds the
    first's store. A database with tables but no format (an older store) is of another format."""
    db.execute("BEGIN IMMEDIATE")
    try:
        if not _has_format_table(db):
            if db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0] > 0:
                raise FormatMismatch()
            db.execute(f"CREATE TABLE {FORMAT_TABLE} (version TEXT NOT NULL)")
            for statement in _statements(store_format.schema):
                db.execute(statement)
            db.execute(f"INSERT INTO {FORMAT_TABLE} VALUES (?)", (store_format.version,))
        db.execute("COMMIT")
    except BaseException:
        db.execute("ROLLBACK")
        raise


def _statements(schema: Sequence[str]) -> list[str]:
    """The schema's statements one by one: an entry may hold several, separated by `;`."""
    statements: list[str] = []
    pending = ""
    for entry in schema:
        for piece in entry.split(";"):
            pending += piece + ";"
            if sqlite3.complete_statement(pending):
                statements.append(pending.strip())
                pending = ""
    if pending.strip(" \n;"):
        statements.append(pending.strip())
    return statements
