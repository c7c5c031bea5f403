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
from typing import Iterable, Optional

from ..sqlite_store import StoreClient, StoreFormat
from .reading import THUMBNAIL_SIDE, FileIdentity, PictureRead

SUFFIX = ".duplicates.sqlite"
# Entries made with other thumbnail settings are stale, never misread.
SETTINGS_KEY = f"grey-thumbnail:side={THUMBNAIL_SIDE}:box:draft=2x:v1"
_BATCH = 512

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


def path_key(path: str) -> bytes:
    """Paths are stored as file-system bytes: a name that is not valid UTF-8 is kept exactly."""
    return os.fsencode(path)


class PictureStore(StoreClient):
    STORE_FORMAT = StoreFormat("search_index_tools duplicate store 1", (_SCHEMA,))

    def lookup(self, identities: dict[str, FileIdentity]) -> dict[str, PictureRead]:
        """The stored reads of the given paths whose file and settings are unchanged."""
        if self._db is None or not identities:
            return {}
        found = {}
        keys = {path_key(path): path for path in identities}
        try:
            for prefix in _prefixes(keys):
                rows = self._db.execute(
                    "SELECT path, device, inode, size, mtime_ns, ctime_ns, settings, stamp, width, height, thumbnail"
                    " FROM pictures WHERE path >= ? AND path < ?", (prefix, prefix + b"\xff"))
                for row in rows:
                    path = keys.get(row[0])
                    if path is None or row[6] != SETTINGS_KEY or path in found:
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
        rows = [_encode(read) for read in reads]
        try:
            for first in range(0, len(rows), _BATCH):
                with self._db:
                    self._db.execute("BEGIN IMMEDIATE")
                    self._db.executemany("INSERT OR REPLACE INTO pictures VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                                         rows[first:first + _BATCH])
        except sqlite3.Error as error:
            self._fail(error)

    def prune(self, folder: str, listed: Iterable[str]) -> None:
        """Forgets the pictures under `folder` that are no longer listed in it."""
        if self._db is None or not self._writable:
            return
        prefix = path_key(os.path.join(os.path.abspath(folder), ""))
        keep = {path_key(path) for path in listed}
        try:
            stored = [row[0] for row in self._db.execute(
                "SELECT path FROM pictures WHERE path >= ? AND path < ?", (prefix, prefix + b"\xff"))]
            gone = [(path,) for path in stored if path not in keep]
            if gone:
                with self._db:
                    self._db.execute("BEGIN IMMEDIATE")
                    self._db.executemany("DELETE FROM pictures WHERE path = ?", gone)
        except sqlite3.Error as error:
            self._fail(error)



def _prefixes(keys: dict) -> list[bytes]:
    """The folders (as byte prefixes) that hold the given paths: one range query each."""
    folders = sorted({os.path.dirname(key) for key in keys})
    prefixes: list[bytes] = []
    for folder in folders:
        prefix = os.path.join(folder, b"")
        if prefixes and prefix.startswith(prefixes[-1]):
            continue
        prefixes.append(prefix)
    return prefixes


def _encode(read: PictureRead) -> tuple:
    identity = read.identity
    return (path_key(read.path), identity.device, identity.inode, identity.size, identity.mtime_ns,
            identity.ctime_ns, SETTINGS_KEY, read.stamp, read.width, read.height, read.thumbnail)


def _decode(path: str, row: tuple) -> Optional[PictureRead]:
    """The entry as it was stored, or None (a miss) when it does not hold together."""
    thumbnail = row[10]
    if thumbnail is not None and (not isinstance(thumbnail, bytes) or len(thumbnail) != THUMBNAIL_SIDE ** 2):
        return None
    if not isinstance(row[7], bytes):
        return None
    return PictureRead(path, FileIdentity(*row[1:6]), row[7], row[8], row[9], thumbnail)
