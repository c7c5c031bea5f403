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

Vectors are kept as signed bytes (a picture costs WINDOWS x DIMENSION bytes, 15,488), per
file (pixel_index_store): a new or changed picture costs its own entry, a gone one leaves it.
Scores are exact integer inner products with the crop's vectors held as 16-bit integers
(the native kernel and numpy give the very same numbers), divided by SCORE_UNIT.
"""

from __future__ import annotations

import math
import zlib

import cv2
import numpy as np

from . import _verified_match
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


# The crop's vectors are held as 16-bit integers: a component c as round(c * QUERY_SCALE) (no
# component is above 1/sqrt(2) in size), so an integer score / SCORE_UNIT is the inner product
# to about 1e-4.
QUERY_SCALE = 32767.0 * math.sqrt(2.0)
SCORE_UNIT = SCALE * QUERY_SCALE


def quantised_queries(queries: np.ndarray) -> np.ndarray:
    """The crop's vectors (rows, float) as the 16-bit integers the scores are made with."""
    scaled = np.rint(np.asarray(queries, np.float64) * QUERY_SCALE)
    return np.ascontiguousarray(np.clip(scaled, -32767, 32767).astype(np.int16))


def row_checksum(vectors: np.ndarray) -> int:
    """The checksum a picture's stored vectors are kept with (damage shows as a mismatch)."""
    return zlib.crc32(np.ascontiguousarray(vectors, np.int8).data)


_NO_VECTORS = np.zeros((0, WINDOWS, DIMENSION), np.int8)


class PixelIndex:
    """The vectors of a library's pictures: those of a file (`stored`, rows of `mapped`, which
    may be a read-only memory map of it) and those put since (`added`, in memory, until the
    store writes them). A path is in one of the two at most."""

    def __init__(
        self, mapped: np.ndarray | None = None, stored: dict[str, tuple[str, int, int]] | None = None
    ) -> None:
        self.mapped = _NO_VECTORS if mapped is None else mapped
        self.stored: dict[str, tuple[str, int, int]] = (
            {} if stored is None else stored
        )  # path: (key, row, checksum)
        self.added: dict[str, tuple[str, np.ndarray]] = {}  # path: (key, vectors)

    def __len__(self) -> int:
        return len(self.stored) + len(self.added)

    def paths(self) -> list[str]:
        return [*self.stored, *self.added]

    def key(self, path: str) -> str | None:
        if path in self.added:
            return self.added[path][0]
        entry = self.stored.get(path)
        return None if entry is None else entry[0]

    def vectors(self, path: str) -> np.ndarray | None:
        if path in self.added:
            return self.added[path][1]
        entry = self.stored.get(path)
        return None if entry is None else np.asarray(self.mapped[entry[1]])

    def put(self, path: str, key: str, vectors: np.ndarray) -> None:
        """Adds the picture, or replaces its entry (kept in memory until the store writes it)."""
        if vectors.shape != (WINDOWS, DIMENSION) or vectors.dtype != np.int8:
            raise ValueError(f"a picture's vectors must be {WINDOWS} x {DIMENSION} signed bytes")
        self.stored.pop(path, None)
        self.added[path] = (key, np.array(vectors))

    def remove(self, path: str) -> None:
        self.stored.pop(path, None)
        self.added.pop(path, None)

    def damaged(self, paths: list[str]) -> list[str]:
        """The stored pictures of `paths` whose vectors no longer match their checksum."""
        return [
            path
            for path in paths
            if (entry := self.stored.get(path)) is not None
            and row_checksum(self.mapped[entry[1]]) != entry[2]
        ]

    def scores(self, queries: np.ndarray, paths: list[str]) -> np.ndarray:
        """Each of `paths`' index score: the best inner product of a query row with one of its
        windows (-inf for a picture not in the index)."""
        weights = quantised_queries(queries)
        best = np.full(len(paths), -np.inf)
        rows = np.array([self.stored[path][1] if path in self.stored else -1 for path in paths], np.int64)
        known = np.flatnonzero(rows >= 0)
        if len(known):
            best[known] = _verified_match.best_window_scores(self.mapped, weights, rows[known]) / SCORE_UNIT
        fresh = [number for number, path in enumerate(paths) if path in self.added]
        if fresh:
            vectors = np.stack([self.added[paths[number]][1] for number in fresh])
            scored = _verified_match.best_window_scores(
                vectors, weights, np.arange(len(fresh), dtype=np.int64)
            )
            best[fresh] = scored / SCORE_UNIT
        return best

    def at_least(self, queries: np.ndarray, paths: list[str], level: float, count: int) -> bool:
        """Whether `count` or more of `paths` score `level` or more."""
        return int((self.scores(queries, paths) >= level).sum()) >= count
