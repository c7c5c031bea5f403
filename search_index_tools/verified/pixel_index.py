"""An index of the pictures' coarse grey levels that proposes, for a crop without keypoints,
the pictures whose thumbnails could hold it: what lets the pixel stage run in a library too
large to scan every thumbnail.

Each picture is described by the regions a crop can cover: its coarse thumbnail, stretched to
a square of GRID pixels, is cut into windows of WINDOW_SIDES on each axis (a crop spans
15-40 % of each side of its picture, whatever its own size), at half-window steps; each window
is averaged to CELLS x CELLS and made into a vector blind to brightness and contrast: its grey
levels less their mean, to unit length, beside its structure (the levels less a fitted plane),
to unit length, each half weighed by 1/sqrt(2). The inner product of two such vectors is the
mean of the two normalised correlations the pixel stage's coarse scan adds up (the grey levels'
and the structure's), so a picture's index score (the best over its windows and the crop's
turns), doubled, estimates its best coarse-scan score.

Vectors are kept as signed bytes (a picture costs WINDOWS x DIMENSION bytes), per file in a
SQLite file of their own beside the candidate words: a new or changed picture costs its own
entry, a gone one leaves it.
"""

from __future__ import annotations

import math
import os
import sqlite3
from collections.abc import Iterator
from typing import Any

import cv2
import numpy as np

from ..sqlite_store import StoreClient, StoreFormat
from .pixels import PIXEL_SETTINGS, PixelSettings, straightened, turning_copy

GRID = 64
WINDOW_SIDES = (12, 16, 24)  # of GRID: about 19, 25 and 38 % of a side
CELLS = 4
DIMENSION = 2 * CELLS * CELLS
# Signed bytes hold a component c of a vector as round(c * SCALE): a half of unit length
# weighed by 1/sqrt(2) has no component above 1/sqrt(2) in size.
SCALE = 127.0 * math.sqrt(2.0)
# A window (or a crop) whose cell levels vary less than this (standard deviation, grey levels)
# is flat: its vector is zero, as the coarse scan gives a flat window no correlation.
MIN_CELL_DEVIATION = 0.25
# Structure left after the plane below this share of the variation counts as none (the coarse
# scan's own rule for its structure correlation).
MIN_STRUCTURE_SHARE = 0.01


def _starts(side: int) -> list[int]:
    """Window starts along one axis of the grid: every half window, the last flush with the end."""
    step = side // 2
    starts = list(range(0, GRID - side + 1, step))
    if starts[-1] != GRID - side:
        starts.append(GRID - side)
    return starts


# Every window of the grid, (x, y, width, height): the same for every picture.
LAYOUT = np.array(
    [
        (x, y, width, height)
        for width in WINDOW_SIDES
        for height in WINDOW_SIDES
        for y in _starts(height)
        for x in _starts(width)
    ],
    np.int32,
)
WINDOWS = len(LAYOUT)


def _plane_basis() -> np.ndarray:
    """An orthonormal basis (rows) of the constant and both ramps over the CELLS x CELLS cells."""
    ys, xs = np.mgrid[0:CELLS, 0:CELLS].astype(np.float64)
    design = np.column_stack([np.ones(CELLS * CELLS), xs.ravel(), ys.ravel()])
    basis, _ = np.linalg.qr(design)
    return basis.T


_PLANE = _plane_basis()


def _normalised(cells: np.ndarray) -> np.ndarray:
    """Vectors (rows, float32) of cell levels (rows of CELLS * CELLS): the grey half and the
    structure half, each of unit length (or zero) and weighed by 1/sqrt(2)."""
    cells = cells.astype(np.float64)
    grey = cells - cells.mean(axis=1, keepdims=True)
    spread = np.sqrt((grey * grey).sum(axis=1))
    structure = cells - (cells @ _PLANE.T) @ _PLANE
    left = np.sqrt((structure * structure).sum(axis=1))
    flat = spread < MIN_CELL_DEVIATION * math.sqrt(CELLS * CELLS)
    no_structure = flat | (left * left <= MIN_STRUCTURE_SHARE * spread * spread)
    grey = np.where(flat[:, None], 0.0, grey / np.where(flat, 1.0, spread)[:, None])
    structure = np.where(no_structure[:, None], 0.0, structure / np.where(no_structure, 1.0, left)[:, None])
    return (np.hstack([grey, structure]) / math.sqrt(2.0)).astype(np.float32)


def picture_vectors(coarse: np.ndarray) -> np.ndarray:
    """The signed-byte vectors (WINDOWS x DIMENSION) of a picture's coarse grey thumbnail."""
    grey = np.asarray(coarse, np.float32)
    if grey.ndim != 2 or grey.size == 0:
        raise ValueError(f"a coarse thumbnail must be a 2-D grey array, not of shape {grey.shape}")
    square = cv2.resize(grey, (GRID, GRID), interpolation=cv2.INTER_AREA)
    # A summed-area table gives every cell's mean at once.
    summed = cv2.integral(square, sdepth=cv2.CV_64F)
    cells = np.empty((WINDOWS, CELLS * CELLS), np.float64)
    steps = np.arange(CELLS)
    for size in {(int(w), int(h)) for _, _, w, h in LAYOUT}:
        chosen = np.flatnonzero((LAYOUT[:, 2] == size[0]) & (LAYOUT[:, 3] == size[1]))
        cell_w, cell_h = size[0] // CELLS, size[1] // CELLS
        x0 = LAYOUT[chosen, 0][:, None, None] + cell_w * steps[None, None, :]
        y0 = LAYOUT[chosen, 1][:, None, None] + cell_h * steps[None, :, None]
        sums = (
            summed[y0 + cell_h, x0 + cell_w]
            - summed[y0, x0 + cell_w]
            - summed[y0 + cell_h, x0]
            + summed[y0, x0]
        )
        cells[chosen] = sums.reshape(len(chosen), -1) / (cell_w * cell_h)
    return np.clip(np.rint(_normalised(cells) * SCALE), -127, 127).astype(np.int8)


def crop_vectors(crop_grey: np.ndarray, settings: PixelSettings = PIXEL_SETTINGS) -> np.ndarray:
    """The crop's vectors (float32, one row per turn the coarse scan tries: upright first),
    of unit length unless the crop is flat at CELLS x CELLS."""
    turning = turning_copy(crop_grey, settings)
    rows = []
    for turn in (0.0, *settings.coarse_turns):
        source = crop_grey if turn == 0.0 else straightened(turning, turn)
        small = cv2.resize(source.astype(np.float32), (CELLS, CELLS), interpolation=cv2.INTER_AREA)
        rows.append(small.ravel())
    return _normalised(np.array(rows))


# Pictures scored at once: their vectors as floats take CHUNK x WINDOWS x DIMENSION x 4 bytes.
CHUNK = 1024


class PixelIndex:
    """The vectors of a library's pictures in memory: a row of `vectors` per picture."""

    def __init__(self) -> None:
        self.numbers: dict[str, int] = {}  # path: row
        self.keys: list[str] = []  # row: the picture's file key ("" for a free row)
        self.vectors = np.zeros((0, WINDOWS, DIMENSION), np.int8)
        self._free: list[int] = []

    def __len__(self) -> int:
        return len(self.numbers)

    def key(self, path: str) -> str | None:
        number = self.numbers.get(path)
        return None if number is None else self.keys[number]

    def put(self, path: str, key: str, vectors: np.ndarray) -> None:
        """Adds the picture, or replaces its entry."""
        if vectors.shape != (WINDOWS, DIMENSION) or vectors.dtype != np.int8:
            raise ValueError(f"a picture's vectors must be {WINDOWS} x {DIMENSION} signed bytes")
        number = self.numbers.get(path)
        if number is None:
            if self._free:
                number = self._free.pop()
            else:
                number = len(self.keys)
                self.keys.append("")
                if number >= len(self.vectors):
                    grown = np.zeros((max(16, 2 * len(self.vectors)), WINDOWS, DIMENSION), np.int8)
                    grown[: len(self.vectors)] = self.vectors
                    self.vectors = grown
            self.numbers[path] = number
        self.keys[number] = key
        self.vectors[number] = vectors

    def remove(self, path: str) -> None:
        number = self.numbers.pop(path, None)
        if number is not None:
            self.keys[number] = ""
            self.vectors[number] = 0
            self._free.append(number)

    def scores(self, queries: np.ndarray, paths: list[str]) -> np.ndarray:
        """Each of `paths`' index score (the best inner product of a query row with one of its
        windows; -inf for a picture not in the index)."""
        best = np.full(len(paths), -np.inf)
        for chosen, scores in self._chunks(queries, paths):
            best[chosen] = scores
        return best

    def at_least(self, queries: np.ndarray, paths: list[str], level: float, count: int) -> bool:
        """Whether `count` or more of `paths` score `level` or more: scored a chunk at a time,
        and only until that many are found."""
        found = 0
        for _, scores in self._chunks(queries, paths):
            found += int((scores >= level).sum())
            if found >= count:
                return True
        return False

    def _chunks(self, queries: np.ndarray, paths: list[str]) -> Iterator[tuple[np.ndarray, np.ndarray]]:
        """(positions in `paths`, their scores) of the indexed pictures of `paths`, CHUNK at a time."""
        rows = np.array([self.numbers.get(path, -1) for path in paths], np.int64)
        known = np.flatnonzero(rows >= 0)
        weights = np.ascontiguousarray(queries, np.float32).T / np.float32(SCALE)
        for first in range(0, len(known), CHUNK):
            chosen = known[first : first + CHUNK]
            block = self.vectors[rows[chosen]].astype(np.float32)
            products = block.reshape(-1, DIMENSION) @ weights
            yield chosen, products.reshape(len(chosen), -1).max(axis=1)


_PIXEL_SCHEMA = (
    "CREATE TABLE IF NOT EXISTS pictures (path BLOB PRIMARY KEY, file_key TEXT NOT NULL,"
    " vectors BLOB NOT NULL)",
    # Bumped by every change, so a process notices that another one changed the file; the
    # token, drawn when the file is made, tells a file made anew at the same path.
    "CREATE TABLE IF NOT EXISTS generation (id INTEGER PRIMARY KEY CHECK (id = 0), value INTEGER NOT NULL,"
    " token BLOB NOT NULL)",
    "INSERT OR IGNORE INTO generation VALUES (0, 0, randomblob(16))",
    # The window layout the vectors were made with: a file of another layout is not read.
    "CREATE TABLE IF NOT EXISTS layout (grid INTEGER, sides TEXT, cells INTEGER, windows INTEGER)"
    f" -- {GRID} {WINDOW_SIDES} {CELLS} {WINDOWS}",
)
_PIXEL_FORMAT = StoreFormat("search_index_tools pixel windows 1", _PIXEL_SCHEMA, check_on_open=False)

# The index last loaded from each file, with the generation it was loaded at.
_LOADED: dict[str, tuple[tuple[Any, ...], PixelIndex]] = {}


class PixelIndexStore(StoreClient):
    """The pixel index of a library in its own SQLite file. Like every store of the package it
    only ever saves work: without a file, or after an error, the index lives in memory for one
    search, and a picture missing from it is described again from its thumbnail."""

    STORE_FORMAT = _PIXEL_FORMAT

    def __init__(self, file_path: str | None):
        super().__init__(file_path)
        self._path = file_path
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
        """The stored index (empty without a usable file)."""
        if self._db is None or self._path is None:
            return PixelIndex()
        try:
            generation = self._current_generation()
            cached = _LOADED.get(self._path)
            if cached is not None and cached[0] == generation:
                self._generation = generation
                return cached[1]
            index = PixelIndex()
            (count,) = self._db.execute("SELECT count(*) FROM pictures").fetchone()
            # Made at its size once: growing it picture by picture would hold up to twice that.
            index.vectors = np.zeros((count, WINDOWS, DIMENSION), np.int8)
            for path, key, blob in self._db.execute("SELECT path, file_key, vectors FROM pictures"):
                vectors = np.frombuffer(blob, np.int8)
                if vectors.size != WINDOWS * DIMENSION:
                    raise ValueError("a stored picture's vectors are of another size")
                index.put(os.fsdecode(path), key, vectors.reshape(WINDOWS, DIMENSION))
        except (sqlite3.Error, ValueError) as error:
            self._give_up(error)
            return PixelIndex()
        self._generation = generation
        _LOADED[self._path] = (generation, index)
        return index

    def save(self, index: PixelIndex, added: list[str], removed: list[str]) -> None:
        """Writes the entries of `added` (in `index`) and forgets the `removed` pictures."""
        if self._db is None or self._path is None or not self._writable or not (added or removed):
            return
        try:
            with self._db:
                self._db.execute("BEGIN IMMEDIATE")
                changed_elsewhere = self._current_generation() != self._generation
                self._db.executemany(
                    "DELETE FROM pictures WHERE path = ?", [(os.fsencode(path),) for path in removed]
                )
                self._db.executemany(
                    "INSERT OR REPLACE INTO pictures VALUES (?, ?, ?)",
                    [
                        (
                            os.fsencode(path),
                            index.keys[index.numbers[path]],
                            index.vectors[index.numbers[path]].tobytes(),
                        )
                        for path in added
                    ],
                )
                self._db.execute("UPDATE generation SET value = value + 1 WHERE id = 0")
                generation = self._current_generation()
        except sqlite3.Error as error:
            self._give_up(error)
            return
        if changed_elsewhere:
            # Another process's entries are read again on the next search.
            _LOADED.pop(self._path, None)
            self._generation = None
        else:
            self._generation = generation
            _LOADED[self._path] = (generation, index)
