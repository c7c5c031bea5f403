"""A SQLite store of what the duplicate finder read from each picture.

An entry is keyed by the file's absolute path and holds the file's identity (device, inode,
size, modification and status-change times in nanoseconds) and the settings it was made with:
an entry is used only while all of them are unchanged, so a folder seen before is compared
without reading a single picture. The store is never a source of truth: one that is corrupt
is replaced, one that is locked or read-only is only read (or left alone), and a missing or
unwritable folder means no store; the finder goes on reading pictures in every case.
"""

from __future__ import annotations

import os
import sqlite3
import sys
from collections.abc import Iterable
from typing import Any, NamedTuple

from .. import pixel_limit
from ..file_identity import FileIdentity
from ..sqlite_store import StoreClient, StoreFormat
from .reading import THUMBNAIL_SIDE, PictureRead

SUFFIX = ".duplicates.sqlite"
# Entries made with other thumbnail settings are stale, never misread.
SETTINGS_KEY = f"grey-thumbnail:side={THUMBNAIL_SIDE}:box:draft=2x:v1"


def settings_key() -> str:
    """SETTINGS_KEY, and Pillow's pixel limit where it is not Pillow's own: a picture refused
    under a lowered limit is read again once the limit is back."""
    return SETTINGS_KEY + pixel_limit.key_suffix()


_BATCH = 512
_FS_ENCODING, _FS_ERRORS = sys.getfilesystemencoding(), sys.getfilesystemencodeerrors()

_SCHEMA = """
CREATE TABLE IF NOT EXISTS pictures (
    path BLOB PRIMARY KEY,
    device INTEGER NOT NULL, inode INTEGER NOT NULL, size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL, ctime_ns INTEGER NOT NULL,
    settings TEXT NOT NULL,
    stamp BLOB NOT NULL,
    width INTEGER NOT NULL, height INTEGER NOT NULL,
    thumbnail BLOB
)
"""


# The tables of the decisions a scan keeps (duplicates.kept_decisions).
DECISION_TABLES = (
    """CREATE TABLE IF NOT EXISTS candidate_lists (
        scope TEXT NOT NULL, token INTEGER NOT NULL, version INTEGER NOT NULL, plain INTEGER NOT NULL,
        vector BLOB NOT NULL, neighbours BLOB NOT NULL, transforms BLOB NOT NULL, scores BLOB NOT NULL,
        PRIMARY KEY (scope, token)) WITHOUT ROWID""",
    """CREATE TABLE IF NOT EXISTS verdicts (
        first INTEGER NOT NULL, second INTEGER NOT NULL, transforms INTEGER NOT NULL, key TEXT NOT NULL,
        same INTEGER NOT NULL, transform INTEGER NOT NULL, similarity REAL NOT NULL, cropped INTEGER NOT NULL,
        PRIMARY KEY (first, second, transforms, key)) WITHOUT ROWID""",
    """CREATE TABLE IF NOT EXISTS relations (
        keeper INTEGER NOT NULL, member INTEGER NOT NULL, version INTEGER NOT NULL,
        distance REAL NOT NULL, transform TEXT NOT NULL,
        PRIMARY KEY (keeper, member, version)) WITHOUT ROWID""",
    """CREATE TABLE IF NOT EXISTS scope_results (
        scope TEXT NOT NULL, key TEXT NOT NULL, digest BLOB NOT NULL, pairs BLOB NOT NULL,
        PRIMARY KEY (scope, key)) WITHOUT ROWID""",
)


class StoredEntry(NamedTuple):
    """A stored read without its thumbnail; `usable` tells whether it has one."""

    path: str
    identity: FileIdentity
    stamp: bytes
    width: int
    height: int
    usable: bool


def path_key(path: str) -> bytes:
    """Paths are stored as file-system bytes: a name that is not valid UTF-8 is kept exactly
    (os.fsencode, without its checks: this runs for every picture of every scan)."""
    return path.encode(_FS_ENCODING, _FS_ERRORS)


class PictureStore(StoreClient):
    # The reads, and beside them the decisions a scan keeps (duplicates.kept_decisions). The
    # whole file is not checked on opening (that reads every page, seconds on a large library):
    # a damaged page found in use ends the store, and a scan goes on without it.
    STORE_FORMAT = StoreFormat(
        "search_index_tools duplicate store 2", (_SCHEMA,) + DECISION_TABLES, check_on_open=False
    )

    @property
    def connection(self) -> sqlite3.Connection | None:
        """The open connection, for the tables kept beside the reads (None: no store)."""
        return self._db

    @property
    def writable(self) -> bool:
        return self._db is not None and self._writable

    def failed(self, error: sqlite3.Error) -> None:
        """What the kept tables do after an error: the store's own policy."""
        self._fail(error)

    def lookup_entries(self, identities: dict[str, FileIdentity]) -> dict[str, StoredEntry]:
        """Like lookup, without loading the thumbnails: what a scan of an unchanged folder needs."""
        if self._db is None or not identities:
            return {}
        found: dict[str, StoredEntry] = {}
        keys = {path_key(path): path for path in identities}
        settings = settings_key()
        try:
            for prefix in _prefixes(keys):
                rows = self._db.execute(
                    "SELECT path, device, inode, size, mtime_ns, ctime_ns, settings, stamp, width, height,"
                    " thumbnail IS NOT NULL AND length(thumbnail) = ?"
                    " FROM pictures WHERE path >= ? AND path < ?",
                    (THUMBNAIL_SIDE**2, prefix, prefix + b"\xff"),
                )
                for row in rows:
                    path = keys.get(row[0])
                    if path is None or row[6] != settings or path in found or not isinstance(row[7], bytes):
                        continue
                    identity = FileIdentity(*row[1:6])
                    if identity == identities[path]:
                        found[path] = StoredEntry(path, identity, row[7], row[8], row[9], bool(row[10]))
        except sqlite3.Error as error:
            self._fail(error)
            return {}
        return found

    def thumbnails(self, entries: Iterable[StoredEntry | PictureRead]) -> dict[str, bytes]:
        """{path: thumbnail} of the given entries, where the stored read is still theirs."""
        if self._db is None:
            return {}
        found: dict[str, bytes] = {}
        settings = settings_key()
        try:
            for entry in entries:
                row = self._db.execute(
                    "SELECT device, inode, size, mtime_ns, ctime_ns, settings, thumbnail"
                    " FROM pictures WHERE path = ?",
                    (path_key(entry.path),),
                ).fetchone()
                if (
                    row is not None
                    and FileIdentity(*row[:5]) == entry.identity
                    and row[5] == settings
                    and isinstance(row[6], bytes)
                    and len(row[6]) == THUMBNAIL_SIDE**2
                ):
                    found[entry.path] = row[6]
        except sqlite3.Error as error:
            self._fail(error)
        return found

    def lookup(self, identities: dict[str, FileIdentity]) -> dict[str, PictureRead]:
        """The stored reads of the given paths whose file and settings are unchanged."""
        if self._db is None or not identities:
            return {}
        found = {}
        keys = {path_key(path): path for path in identities}
        settings = settings_key()
        try:
            for prefix in _prefixes(keys):
                rows = self._db.execute(
                    "SELECT path, device, inode, size, mtime_ns, ctime_ns, settings, stamp, width, height,"
                    " thumbnail FROM pictures WHERE path >= ? AND path < ?",
                    (prefix, prefix + b"\xff"),
                )
                for row in rows:
                    path = keys.get(row[0])
                    if path is None or row[6] != settings or path in found:
                        continue
                    read = _decode(path, row)
                    if read is not None and read.identity == identities[path]:
                        found[path] = read
        except sqlite3.Error as error:
            self._fail(error)
            return {}
        return found

    def store(self, reads: Iterable[PictureRead]) -> None:
        if self._db is None or not self._writable:
            return
        settings = settings_key()
        rows = [_encode(read, settings) for read in reads]
        try:
            for first in range(0, len(rows), _BATCH):
                with self._db:
                    self._db.execute("BEGIN IMMEDIATE")
                    self._db.executemany(
                        "INSERT OR REPLACE INTO pictures VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                        rows[first : first + _BATCH],
                    )
        except sqlite3.Error as error:
            self._fail(error)

    def prune(self, folders: Iterable[str], listed: Iterable[str]) -> None:
        """Forgets the pictures under the folders that are no longer listed in them."""
        if self._db is None or not self._writable:
            return
        keep = {path_key(path) for path in listed}
        try:
            gone = []
            for folder in folders:
                prefix = path_key(os.path.join(os.path.abspath(folder), ""))
                gone += [
                    (row[0],)
                    for row in self._db.execute(
                        "SELECT path FROM pictures WHERE path >= ? AND path < ?", (prefix, prefix + b"\xff")
                    )
                    if row[0] not in keep
                ]
            if gone:
                with self._db:
                    self._db.execute("BEGIN IMMEDIATE")
                    self._db.executemany("DELETE FROM pictures WHERE path = ?", gone)
        except sqlite3.Error as error:
            self._fail(error)


def _prefixes(keys: dict[bytes, str]) -> list[bytes]:
    """The folders (as byte prefixes) that hold the given paths: one range query each."""
    folders = sorted({os.path.dirname(key) for key in keys})
    prefixes: list[bytes] = []
    for folder in folders:
        prefix = os.path.join(folder, b"")
        if prefixes and prefix.startswith(prefixes[-1]):
            continue
        prefixes.append(prefix)
    return prefixes


def _encode(read: PictureRead, settings: str) -> tuple[object, ...]:
    identity = read.identity
    return (
        path_key(read.path),
        identity.device,
        identity.inode,
        identity.size,
        identity.mtime_ns,
        identity.ctime_ns,
        settings,
        read.stamp,
        read.width,
        read.height,
        read.thumbnail,
    )


def _decode(path: str, row: tuple[Any, ...]) -> PictureRead | None:
    """The entry as it was stored, or None (a miss) when it does not hold together."""
    thumbnail = row[10]
    if thumbnail is not None and (not isinstance(thumbnail, bytes) or len(thumbnail) != THUMBNAIL_SIDE**2):
        return None
    if not isinstance(row[7], bytes):
        return None
    return PictureRead(path, FileIdentity(*row[1:6]), row[7], row[8], row[9], thumbnail)
