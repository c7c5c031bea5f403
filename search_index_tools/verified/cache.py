"""A SQLite store of picture features for the verified cropped search.

Entries are keyed by the picture's absolute path and checked against its file identity
(device, inode, size, modification and change times in nanoseconds, as search_index_lib's own
feature store checks them) and the feature settings, so a changed file or changed settings
simply miss. A picture's grey thumbnails (for the pixel-based placement) are kept in a table of
their own, written in the same transaction as its features, so the keypoint stage never reads
them and the pixel stage reads only the ones it needs.

The store follows the rules of search_index_lib's feature store. It only ever saves work: a
store that is damaged, of another format, locked by another process, read-only or missing is
worked around, and the search goes on without it. A damaged store or one of another format is
replaced by a new one; an entry whose checksum does not fit is a miss. Which it is comes from
SQLite's result codes, not from its messages: a store that stayed locked for a whole busy
timeout is only read, and left alone by this process for a while; a read-only one is only read.
"""

from __future__ import annotations

import os
import sqlite3
import sys
import zlib
from collections.abc import Iterable
from typing import Any

import numpy as np

from ..file_identity import FileIdentity
from ..sqlite_store import StoreClient, StoreFormat
from .features import Features, ReadResult

_IDENTITY_COLUMNS = "device, inode, size, mtime_ns, ctime_ns"
_SCHEMA = (
    # usable 0: the file is no picture that can be used (the feature columns are NULL).
    "CREATE TABLE picture_features ("
    " path BLOB PRIMARY KEY,"
    " device INTEGER NOT NULL, inode INTEGER NOT NULL, size INTEGER NOT NULL,"
    " mtime_ns INTEGER NOT NULL, ctime_ns INTEGER NOT NULL,"
    " settings TEXT NOT NULL, usable INTEGER NOT NULL,"
    " width INTEGER, height INTEGER, work_width INTEGER, work_height INTEGER,"
    " descriptor_bytes INTEGER, points BLOB, descriptors BLOB, checksum INTEGER NOT NULL)",
    "CREATE TABLE picture_thumbnails ("
    " path BLOB PRIMARY KEY,"
    " device INTEGER NOT NULL, inode INTEGER NOT NULL, size INTEGER NOT NULL,"
    " mtime_ns INTEGER NOT NULL, ctime_ns INTEGER NOT NULL,"
    " settings TEXT NOT NULL,"
    " coarse_width INTEGER NOT NULL, coarse_height INTEGER NOT NULL, coarse BLOB NOT NULL,"
    " fine_width INTEGER NOT NULL, fine_height INTEGER NOT NULL, fine BLOB NOT NULL,"
    " checksum INTEGER NOT NULL)",
)


_FS_ENCODING, _FS_ERRORS = sys.getfilesystemencoding(), sys.getfilesystemencodeerrors()
# Not checked whole on opening (that reads every page, seconds on a large library): SQLite
# reports a damaged page when it is read, and every entry carries a checksum.
FORMAT = StoreFormat("search_index_tools verified feature store 3", _SCHEMA, check_on_open=False)


def path_key(path: str) -> bytes:
    """Paths are stored as file-system bytes: a name that is not valid UTF-8 is kept exactly.
    (os.fsencode's own encoding, without its checks of the argument: this runs for every
    picture of a library on every search.)"""
    return path.encode(_FS_ENCODING, _FS_ERRORS)


class FeatureCache(StoreClient):
    STORE_FORMAT = FORMAT

    def lookup(self, path: str, identity: FileIdentity, settings_key: str) -> ReadResult | None:
        """The stored entry of `path` when it was made from this very file with these settings."""
        row = self._entry(
            "picture_features",
            "usable, width, height, work_width, work_height, descriptor_bytes, points, descriptors",
            path,
            identity,
            settings_key,
        )
        return None if row is None else _decode_row(row, identity)

    def lookup_thumbnail(
        self, path: str, identity: FileIdentity, settings_key: str, which: str
    ) -> np.ndarray | None:
        """The stored "coarse" or "fine" thumbnail of `path` when it was made from this very
        file with these settings."""
        row = self._entry(
            "picture_thumbnails",
            "coarse_width, coarse_height, coarse, fine_width, fine_height, fine",
            path,
            identity,
            settings_key,
        )
        if row is None or _checksum(row[:6]) != row[6]:
            return None
        return _decode_thumbnail(*(row[:3] if which == "coarse" else row[3:6]))

    def _entry(
        self, table: str, columns: str, path: str, identity: FileIdentity, settings_key: str
    ) -> tuple[Any, ...] | None:
        """`columns` and the checksum of the entry of `path` in `table`, when it was made from
        this very file with these settings."""
        if self._db is None:
            return None
        try:
            row = self._db.execute(
                f"SELECT {_IDENTITY_COLUMNS}, {columns}, checksum FROM {table}"
                " WHERE path = ? AND settings = ?",
                (path_key(path), settings_key),
            ).fetchone()
        except sqlite3.Error as error:
            self._fail(error)
            return None
        if row is None or not identity.same_content(FileIdentity(*row[:5])):
            return None
        values: tuple[Any, ...] = tuple(row[5:])
        return values

    def store(self, entries: Iterable[tuple[str, ReadResult]], settings_key: str) -> None:
        if self._db is None or not self._writable:
            return
        entries = list(entries)
        rows = [_encode_row(path, result, settings_key) for path, result in entries]
        thumbnail_rows = [
            _encode_thumbnails(path, result, settings_key)
            for path, result in entries
            if result.thumbnails is not None
        ]
        if not rows:
            return
        try:
            with self._db:
                self._db.execute("BEGIN IMMEDIATE")
                self._db.executemany(
                    "INSERT OR REPLACE INTO picture_features"
                    " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    rows,
                )
                # An entry stored without thumbnails must not keep an older picture's.
                self._db.executemany(
                    "DELETE FROM picture_thumbnails WHERE path = ?", [(row[0],) for row in rows]
                )
                self._db.executemany(
                    "INSERT INTO picture_thumbnails VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    thumbnail_rows,
                )
        except sqlite3.Error as error:
            self._fail(error)

    def prune(self, folder: str, listed: Iterable[str]) -> None:
        """Forgets the pictures under `folder` that are no longer listed in it."""
        if self._db is None or not self._writable:
            return
        prefix = path_key(os.path.join(os.path.abspath(folder), ""))
        keep = {path_key(path) for path in listed}
        try:
            # The paths under the folder are one range of the path index (a prefix ends in a
            # separator, never in byte 255): only the index is read, not the entries' rows.
            stored = [
                row[0]
                for row in self._db.execute(
                    "SELECT path FROM picture_features WHERE path >= ? AND path < ?",
                    (prefix, prefix[:-1] + bytes([prefix[-1] + 1])),
                )
            ]
            gone = [(path,) for path in stored if path not in keep]
            if gone:
                with self._db:
                    self._db.execute("BEGIN IMMEDIATE")
                    self._db.executemany("DELETE FROM picture_features WHERE path = ?", gone)
                    self._db.executemany("DELETE FROM picture_thumbnails WHERE path = ?", gone)
        except sqlite3.Error as error:
            self._fail(error)


def _checksum(values: Iterable[object]) -> int:
    """A checksum of everything an entry claims, sizes and flags included, so that a damaged
    entry is a miss rather than handed out."""
    checksum = 0
    for value in values:
        data = value if isinstance(value, bytes) else repr(value).encode()
        checksum = zlib.crc32(data + b"\0", checksum)
    return checksum


def _encode_row(path: str, result: ReadResult, settings_key: str) -> tuple[Any, ...]:
    features = result.features
    claims: tuple[Any, ...]
    if features is None:
        claims = (0, None, None, None, None, None, None, None)
    else:
        claims = (
            1,
            features.width,
            features.height,
            features.work_width,
            features.work_height,
            features.descriptors.shape[1],
            features.points.astype("<f4").tobytes(),
            features.descriptors.tobytes(),
        )
    return (path_key(path), *result.identity, settings_key, *claims, _checksum(claims))


def _decode_row(row: tuple[Any, ...], identity: FileIdentity) -> ReadResult | None:
    """The entry as it was stored, or None (a miss) when it is damaged or its blobs do not
    fit together."""
    claims, checksum = row[:8], row[8]
    if _checksum(claims) != checksum:
        return None
    usable, width, height, work_width, work_height, descriptor_bytes, points, descriptors = claims
    if not usable:
        return ReadResult(identity, None)
    try:
        point_array = np.frombuffer(points, dtype="<f4").astype(np.float32).reshape(-1, 2)
        descriptor_array = np.frombuffer(descriptors, dtype=np.uint8).reshape(-1, descriptor_bytes).copy()
    except (TypeError, ValueError):
        return None
    if point_array.shape[0] != descriptor_array.shape[0] or min(width, height, work_width, work_height) <= 0:
        return None
    features = Features(width, height, work_width, work_height, point_array, descriptor_array)
    return ReadResult(identity, features)


def _encode_thumbnails(path: str, result: ReadResult, settings_key: str) -> tuple[Any, ...]:
    assert result.thumbnails is not None  # only entries with thumbnails are encoded here
    coarse, fine = result.thumbnails
    claims = (
        coarse.shape[1],
        coarse.shape[0],
        np.ascontiguousarray(coarse, dtype=np.uint8).tobytes(),
        fine.shape[1],
        fine.shape[0],
        np.ascontiguousarray(fine, dtype=np.uint8).tobytes(),
    )
    return (path_key(path), *result.identity, settings_key, *claims, _checksum(claims))


def _decode_thumbnail(width: int, height: int, pixels: bytes) -> np.ndarray | None:
    """The thumbnail as stored, or None (a miss) when its blob does not fit its size."""
    if not isinstance(pixels, bytes) or width <= 0 or height <= 0 or len(pixels) != width * height:
        return None
    return np.frombuffer(pixels, dtype=np.uint8).reshape(height, width)
