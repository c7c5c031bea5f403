"""The pixel index of a library on disk, in two files: a SQLite file of one row per picture
(path, file key, row, checksum) and, beside it, a file of fixed-size rows holding the
pictures' vectors, which a process maps into memory instead of reading: a first search costs
the small SQLite rows and a map, not the vectors (15.5 KB a picture), and the vectors take no
memory of the process's own, only the system's file cache, shared by every process.

The rows file starts with a header naming its layout and the token of the SQLite file it
belongs to; a rows file of another layout, of another SQLite file (one made anew) or too short
for the rows listed is stale: its entries are dropped and the file started again, and the
pictures are described again from their thumbnails. A picture's vectors are written to a row
no listed picture holds, and listed (with their checksum) only after that, in one SQLite
transaction, so an interrupted write leaves at worst an unused row; a row whose bytes no longer
match its checksum is found when its picture is proposed (PixelIndex.damaged).
"""

from __future__ import annotations

import os
import sqlite3
import struct
from typing import Any

import numpy as np

from ..sqlite_store import StoreClient, StoreFormat
from .pixel_index import CELLS, DIMENSION, GRID, WINDOW_SIDES, WINDOWS, PixelIndex, row_checksum

ROW_BYTES = WINDOWS * DIMENSION
ROWS_SUFFIX = ".rows"  # the rows file: the SQLite file's path with this added
_MAGIC = b"search_index_tools pixel rows 1\0"
_HEADER = struct.Struct(f"<{len(_MAGIC)}s16sIII")
HEADER_BYTES = 64  # the rows start here

_PIXEL_SCHEMA = (
    "CREATE TABLE IF NOT EXISTS pictures (path BLOB PRIMARY KEY, file_key TEXT NOT NULL,"
    " row INTEGER NOT NULL UNIQUE, checksum INTEGER NOT NULL)",
    # Bumped by every change, so a process notices that another one changed the file; the
    # token, drawn when the file is made, tells a file made anew at the same path, and names
    # the rows file that belongs to it.
    "CREATE TABLE IF NOT EXISTS generation (id INTEGER PRIMARY KEY CHECK (id = 0), value INTEGER NOT NULL,"
    " token BLOB NOT NULL)",
    "INSERT OR IGNORE INTO generation VALUES (0, 0, randomblob(16))",
    # The window layout the vectors were made with: a file of another layout is not read.
    "CREATE TABLE IF NOT EXISTS layout (grid INTEGER, sides TEXT, cells INTEGER, windows INTEGER)"
    f" -- {GRID} {WINDOW_SIDES} {CELLS} {WINDOWS}",
)
_PIXEL_FORMAT = StoreFormat("search_index_tools pixel windows 2", _PIXEL_SCHEMA, check_on_open=False)

# The index last loaded from each file, with the generation it was loaded at.
_LOADED: dict[str, tuple[tuple[Any, ...], PixelIndex]] = {}


def _header(token: bytes) -> bytes:
    return _HEADER.pack(_MAGIC, token, ROW_BYTES, WINDOWS, DIMENSION).ljust(HEADER_BYTES, b"\0")


def mapped_rows(rows_path: str, token: bytes, needed: int) -> np.ndarray | None:
    """The vectors of the rows file (a read-only map), or None when it is missing, of another
    layout or SQLite file, or holds fewer than `needed` rows."""
    try:
        with open(rows_path, "rb") as file:
            header = file.read(HEADER_BYTES)
            size = os.fstat(file.fileno()).st_size
    except OSError:
        return None
    if header != _header(token):
        return None
    count = (size - HEADER_BYTES) // ROW_BYTES
    if count < needed:
        return None
    if count == 0:
        return np.zeros((0, WINDOWS, DIMENSION), np.int8)
    return np.memmap(rows_path, np.int8, "r", offset=HEADER_BYTES, shape=(count, WINDOWS, DIMENSION))


def _free_rows(used: set[int], count: int) -> list[int]:
    """The `count` lowest row numbers not in `used`."""
    free: list[int] = []
    row = 0
    while len(free) < count:
        if row not in used:
            free.append(row)
        row += 1
    return free


class PixelIndexStore(StoreClient):
    """The pixel index of a library in its two files. Like every store of the package it only
    ever saves work: without a file, or after an error, the index lives in memory for one
    search, and a picture missing from it is described again from its thumbnail."""

    STORE_FORMAT = _PIXEL_FORMAT

    def __init__(self, file_path: str | None):
        super().__init__(file_path)
        self._path = file_path
        self._rows_path = None if file_path is None else file_path + ROWS_SUFFIX
        self._generation: tuple[Any, ...] | None = None

    def _current_generation(self) -> tuple[Any, ...]:
        assert self._db is not None
        row = self._db.execute("SELECT value, token FROM generation WHERE id = 0").fetchone()
        return tuple(row)

    def _give_up(self, error: BaseException) -> None:
        if self._path is not None:
            _LOADED.pop(self._path, None)
        self._store.fail(error, damaged=isinstance(error, ValueError))

    def load(self) -> PixelIndex:
        """The stored index (empty without a usable file). Entries whose rows file is stale
        are dropped, and the file started again."""
        if self._db is None or self._path is None or self._rows_path is None:
            return PixelIndex()
        try:
            generation = self._current_generation()
            cached = _LOADED.get(self._path)
            if cached is not None and cached[0] == generation:
                self._generation = generation
                return cached[1]
            stored = {
                os.fsdecode(path): (key, row, checksum)
                for path, key, row, checksum in self._db.execute(
                    "SELECT path, file_key, row, checksum FROM pictures"
                )
            }
            needed = 1 + max((row for _, row, _ in stored.values()), default=-1)
            mapped = mapped_rows(self._rows_path, generation[1], needed)
            if mapped is None:
                # No listed row can be read: none is used (a store that may only be read keeps
                # its file as it is, and this process describes the pictures again).
                if stored and self._writable:
                    generation = self._start_again()
                stored = {}
                mapped = mapped_rows(self._rows_path, generation[1], 0)
            index = PixelIndex(mapped, stored)
        except (sqlite3.Error, OSError, ValueError) as error:
            self._give_up(error)
            return PixelIndex()
        self._generation = generation
        _LOADED[self._path] = (generation, index)
        return index

    def _start_again(self) -> tuple[Any, ...]:
        """Drops every entry and starts the rows file again (a stale or damaged one)."""
        assert self._db is not None and self._rows_path is not None
        with self._db:
            self._db.execute("BEGIN IMMEDIATE")
            self._db.execute("DELETE FROM pictures")
            self._db.execute("UPDATE generation SET value = value + 1 WHERE id = 0")
            generation = self._current_generation()
            self._rows_file(generation[1], fresh=True).close()
        return generation

    def _rows_file(self, token: bytes, fresh: bool = False) -> Any:
        """The rows file open for writing, started again (header only) when `fresh` or when it
        is not this SQLite file's. Called inside a write transaction: no other process writes."""
        assert self._rows_path is not None
        if fresh or mapped_rows(self._rows_path, token, 0) is None:
            # A new file put in the old one's place, never the old one cut short: another
            # process may have it mapped, and reading a mapped page past a file's end kills it.
            started = f"{self._rows_path}.{os.getpid()}.new"
            with open(started, "wb") as file:
                file.write(_header(token))
            os.replace(started, self._rows_path)
        return open(self._rows_path, "r+b")

    def save(self, index: PixelIndex, added: list[str], removed: list[str]) -> None:
        """Writes the entries of `added` (put in `index` since it was loaded) and forgets the
        `removed` pictures; the written entries then read from the file."""
        if self._db is None or self._path is None or not self._writable or not (added or removed):
            return
        try:
            with self._db:
                self._db.execute("BEGIN IMMEDIATE")
                changed_elsewhere = self._current_generation() != self._generation
                token = self._current_generation()[1]
                stale = mapped_rows(self._rows_path or "", token, 0) is None
                if stale:
                    # Entries without their rows file are of no use: all are dropped.
                    self._db.execute("DELETE FROM pictures")
                self._db.executemany(
                    "DELETE FROM pictures WHERE path = ?", [(os.fsencode(path),) for path in removed]
                )
                used = {row for (row,) in self._db.execute("SELECT row FROM pictures")}
                rows = dict(zip(added, _free_rows(used, len(added))))
                written = {}
                with self._rows_file(token, fresh=stale) as file:
                    for path, row in rows.items():
                        key, vectors = index.added[path]
                        os.pwrite(file.fileno(), vectors.tobytes(), HEADER_BYTES + row * ROW_BYTES)
                        written[path] = (key, row, row_checksum(vectors))
                self._db.executemany(
                    "INSERT OR REPLACE INTO pictures VALUES (?, ?, ?, ?)",
                    [
                        (os.fsencode(path), key, row, checksum)
                        for path, (key, row, checksum) in written.items()
                    ],
                )
                self._db.execute("UPDATE generation SET value = value + 1 WHERE id = 0")
                generation = self._current_generation()
                needed = 1 + max(rows.values(), default=-1)
                mapped = mapped_rows(self._rows_path or "", token, needed)
        except (sqlite3.Error, OSError) as error:
            self._give_up(error)
            return
        if mapped is not None:
            if stale:
                index.stored.clear()
            index.mapped = mapped
            for path, entry in written.items():
                index.added.pop(path, None)
                index.stored[path] = entry
        if changed_elsewhere or stale:
            # Another process's entries (or the dropped ones) are read again on the next search.
            _LOADED.pop(self._path, None)
            self._generation = None
        else:
            self._generation = generation
            _LOADED[self._path] = (generation, index)
