"""A SQLite store of picture features for the verified cropped search.

Entries are keyed by the picture's absolute path and checked against its size, its
modification time in nanoseconds and the feature settings, so a changed file or changed
settings simply miss. A picture's grey thumbnails (for the pixel-based placement) are kept in
a table of their own, written in the same transaction as its features, so the keypoint stage
never reads them and the pixel stage reads only the ones it needs. The store only ever saves work: a store that is corrupt, locked by
another process, read-only or missing is worked around, and the search goes on without it.
"""
from __future__ import annotations

import os
import sqlite3
from typing import Iterable, Optional

import numpy as np

from .verified_features import Features, FileIdentity, ReadResult

BUSY_TIMEOUT_SECONDS = 5.0

_SCHEMA = """
CREATE TABLE IF NOT EXISTS picture_features (
    path BLOB PRIMARY KEY,
    size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL,
    settings TEXT NOT NULL,
    usable INTEGER NOT NULL,
    width INTEGER, height INTEGER, work_width INTEGER, work_height INTEGER,
    descriptor_bytes INTEGER,
    points BLOB, descriptors BLOB
)
"""

_THUMBNAIL_SCHEMA = """
CREATE TABLE IF NOT EXISTS picture_thumbnails (
    path BLOB PRIMARY KEY,
    size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL,
    settings TEXT NOT NULL,
    coarse_width INTEGER NOT NULL, coarse_height INTEGER NOT NULL, coarse BLOB NOT NULL,
    fine_width INTEGER NOT NULL, fine_height INTEGER NOT NULL, fine BLOB NOT NULL
)
"""

# Which thumbnail a lookup reads: the column names of its size and pixels.
_THUMBNAIL_COLUMNS = {"coarse": "coarse_width, coarse_height, coarse", "fine": "fine_width, fine_height, fine"}


def path_key(path: str) -> bytes:
    """Paths are stored as file-system bytes: a name that is not valid UTF-8 is kept exactly."""
    return os.fsencode(path)


class FeatureCache:
    def __init__(self, file_path: Optional[str]):
        self._db: Optional[sqlite3.Connection] = None
        self._writable = True
        if file_path is not None:
            self._db = self._open(file_path)

    @property
    def active(self) -> bool:
        return self._db is not None

    def _open(self, file_path: str) -> Optional[sqlite3.Connection]:
        try:
            return self._connect(file_path)
        except sqlite3.OperationalError:
            return None  # locked, read-only folder, missing folder: no store this time
        except sqlite3.DatabaseError:
            # Not a database (or damaged beyond use): nobody can read it, so it is replaced.
            _remove_store(file_path)
            try:
                return self._connect(file_path)
            except sqlite3.Error:
                return None
        except OSError:
            return None

    @staticmethod
    def _connect(file_path: str) -> sqlite3.Connection:
        db = sqlite3.connect(file_path, timeout=BUSY_TIMEOUT_SECONDS, isolation_level=None)
        try:
            db.execute("PRAGMA journal_mode=WAL")
            db.execute(_SCHEMA)
            db.execute(_THUMBNAIL_SCHEMA)
            # A damaged page is found here rather than half-way through a search.
            if db.execute("PRAGMA quick_check").fetchone()[0] != "ok":
                raise sqlite3.DatabaseError("feature store failed its check")
        except BaseException:
            db.close()
            raise
        return db

    def _fail(self, error: sqlite3.Error) -> None:
        """Stops using the store after an error; a lock or a read-only file only stops writing."""
        if isinstance(error, sqlite3.OperationalError) and self._db is not None:
            message = str(error).lower()
            if "locked" in message or "busy" in message or "readonly" in message or "read-only" in message:
                self._writable = False
                return
        self.close()

    def lookup(self, path: str, identity: FileIdentity, settings_key: str) -> Optional[ReadResult]:
        """The stored entry of `path` when it was made from this very file with these settings."""
        if self._db is None:
            return None
        try:
            row = self._db.execute(
                "SELECT usable, width, height, work_width, work_height, descriptor_bytes, points, descriptors"
                " FROM picture_features WHERE path = ? AND size = ? AND mtime_ns = ? AND settings = ?",
                (path_key(path), identity.size, identity.mtime_ns, settings_key)).fetchone()
        except sqlite3.Error as error:
            self._fail(error)
            return None
        if row is None:
            return None
        return _decode_row(row, identity)

    def lookup_thumbnail(self, path: str, identity: FileIdentity, settings_key: str,
                         which: str) -> Optional[np.ndarray]:
        """The stored "coarse" or "fine" thumbnail of `path` when it was made from this very
        file with these settings."""
        if self._db is None:
            return None
        try:
            row = self._db.execute(
                f"SELECT {_THUMBNAIL_COLUMNS[which]} FROM picture_thumbnails"
                " WHERE path = ? AND size = ? AND mtime_ns = ? AND settings = ?",
                (path_key(path), identity.size, identity.mtime_ns, settings_key)).fetchone()
        except sqlite3.Error as error:
            self._fail(error)
            return None
        return None if row is None else _decode_thumbnail(*row)

    def store(self, entries: Iterable[tuple[str, ReadResult]], settings_key: str) -> None:
        if self._db is None or not self._writable:
            return
        entries = list(entries)
        rows = [_encode_row(path, result, settings_key) for path, result in entries]
        thumbnail_rows = [_encode_thumbnails(path, result, settings_key) for path, result in entries
                          if result.thumbnails is not None]
        if not rows:
            return
        try:
            with self._db:
                self._db.execute("BEGIN IMMEDIATE")
                self._db.executemany(
                    "INSERT OR REPLACE INTO picture_features VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", rows)
                # An entry stored without thumbnails must not keep an older picture's.
                self._db.executemany("DELETE FROM picture_thumbnails WHERE path = ?",
                                     [(row[0],) for row in rows])
                self._db.executemany(
                    "INSERT INTO picture_thumbnails VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", thumbnail_rows)
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
                "SELECT path FROM picture_features WHERE substr(path, 1, ?) = ?", (len(prefix), prefix))]
            gone = [(path,) for path in stored if path not in keep]
            if gone:
                with self._db:
                    self._db.execute("BEGIN IMMEDIATE")
                    self._db.executemany("DELETE FROM picture_features WHERE path = ?", gone)
                    self._db.executemany("DELETE FROM picture_thumbnails WHERE path = ?", gone)
        except sqlite3.Error as error:
            self._fail(error)

    def close(self) -> None:
        if self._db is not None:
            try:
                self._db.close()
            except sqlite3.Error:
                pass
            self._db = None


def _remove_store(file_path: str) -> None:
    for suffix in ("", "-wal", "-shm"):
        try:
            os.unlink(file_path + suffix)
        except OSError:
            pass


def _encode_row(path: str, result: ReadResult, settings_key: str) -> tuple:
    identity, features = result.identity, result.features
    if features is None:
        return (path_key(path), identity.size, identity.mtime_ns, settings_key, 0,
                None, None, None, None, None, None, None)
    return (path_key(path), identity.size, identity.mtime_ns, settings_key, 1,
            features.width, features.height, features.work_width, features.work_height,
            features.descriptors.shape[1], features.points.astype("<f4").tobytes(),
            features.descriptors.tobytes())


def _decode_row(row: tuple, identity: FileIdentity) -> Optional[ReadResult]:
    """The entry as it was stored, or None (a miss) when its blobs do not fit together."""
    usable, width, height, work_width, work_height, descriptor_bytes, points, descriptors = row
    if not usable:
        return ReadResult(identity, None)
    try:
        point_array = np.frombuffer(points, dtype="<f4").astype(np.float32).reshape(-1, 2)
        descriptor_array = np.frombuffer(descriptors, dtype=np.uint8).reshape(-1, descriptor_bytes).copy()
    except (TypeError, ValueError):
        return None
    if point_array.shape[0] != descriptor_array.shape[0] or min(width, height, work_width, work_height) <= 0:
        return None
    return ReadResult(identity, Features(width, height, work_width, work_height, point_array, descriptor_array))


def _encode_thumbnails(path: str, result: ReadResult, settings_key: str) -> tuple:
    coarse, fine = result.thumbnails
    return (path_key(path), result.identity.size, result.identity.mtime_ns, settings_key,
            coarse.shape[1], coarse.shape[0], np.ascontiguousarray(coarse, dtype=np.uint8).tobytes(),
            fine.shape[1], fine.shape[0], np.ascontiguousarray(fine, dtype=np.uint8).tobytes())


def _decode_thumbnail(width: int, height: int, pixels: bytes) -> Optional[np.ndarray]:
    """The thumbnail as stored, or None (a miss) when its blob does not fit its size."""
    if not isinstance(pixels, bytes) or width <= 0 or height <= 0 or len(pixels) != width * height:
        return None
    return np.frombuffer(pixels, dtype=np.uint8).reshape(height, width)
