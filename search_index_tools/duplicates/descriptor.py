"""How two pictures are compared, from their grey thumbnails.

Every picture is kept as a 64 x 64 grey thumbnail of its whole frame (upright). Two kinds of
comparison are made from it:

- a coarse vector for the neighbour search: the central 48 x 48 pixels (so crops of a tenth of
  a side and captions in a corner move it little) averaged down to 8 x 8, with its best-fitting
  plane taken away and scaled to unit length (brightness and contrast do not count). Each of
  the eight turns and mirror images of it is searched, so turned and mirrored copies meet.
  A second coarse vector is made the same way from the thumbnail blurred over a few pixels:
  a crop stretches and shifts the frame by up to six thumbnail pixels, which leaves fine
  detail (grass, gravel, brickwork) in other 8 x 8 cells, so the sharp vector of such a copy
  looks unrelated while its blurred one still matches.
- a finer score for each candidate pair: both frames at 32 x 32, the one turned as the search
  found, cut by up to a tenth of each side where that fits better (crops), with their planes
  taken away; the correlation of the two over all but the two 8 x 8 blocks that differ most
  (a caption or watermark in a corner). 1 is the same picture.

Pictures with too little structure left once their plane is taken away (flat, nearly flat or
plain gradients) cannot be told apart after such normalisation: their noise would be blown up
into a pattern. They are "plain" and only ever grouped with pictures whose raw grey levels are
nearly the same.
"""

from __future__ import annotations

from typing import Any, NamedTuple

import cv2
import numpy as np

from .reading import THUMBNAIL_SIDE

COARSE_MARGIN = 8  # thumbnail pixels left out on every side for the coarse vector
COARSE_SIDE = 8
# Standard deviation, in thumbnail pixels, of the Gaussian blur before the blurred coarse
# vector: about the shift a crop of a tenth of a side causes inside the centre.
COARSE_BLUR = 4.0
FINE_SIDE = 32
BLOCK = 8  # side of the blocks the robust correlation may leave out (pixels of FINE_SIDE)
DROPPED_BLOCKS = 2  # of (FINE_SIDE / BLOCK)² = 16
KEPT_STRUCTURE = 0.6  # share of one picture's structure, at least, the kept blocks must hold
MAX_CUT = 6  # thumbnail pixels cut from a side at most: a tenth of 64
# Structure below this (grey levels, standard deviation once the plane is taken away, at
# FINE_SIDE) makes a picture plain.
PLAIN_STRUCTURE = 2.0
# Plain pictures are the same when their grey levels differ by at most this on average
# (and in no 8 x 8 block by more than PLAIN_BLOCK_LIMIT).
PLAIN_MEAN_DIFFERENCE = 2.0
PLAIN_BLOCK_LIMIT = 6.0
# A frame may be cut so far and no further; the aspect ratios of two copies may differ by at
# most this factor (crops of a tenth of each side, with a margin).
ASPECT_LIMIT = 1.35
# A cut frame is taken (and the copy called cropped) only when it fits better by this much.
CROP_GAIN = 0.005
# Cut scores (correlations of profiles) this close to the best count as equally good.
CUT_TIE = 1e-9
# Block errors within this share of the largest count as equal.
BLOCK_TIE = 1e-9
# A resampled profile less its line this short (grey levels) is rounding alone.
FLAT_PROFILE = 1e-6
# Frames less alike than this uncut are not searched for a crop. Off: at 0.4 the benchmark's
# recall fell from 0.935 to 0.931 for little time saved.
UNCUT_MINIMUM = -1.0
# Sum of squared grey levels at or below which what is left of a frame once its plane is taken
# away is rounding alone (a flat region gives 1e-20 or less; a millionth of a grey level per
# pixel, 1e-9): such a frame correlates with nothing.
NOISE_ENERGY = 1e-12
FULL_SEARCH_BELOW = 0.9  # best_transform compares every transform in full below this
TRIED = 3  # transforms best_transform compares in full first, the best by their uncut score

TRANSFORM_NAMES = (
    "none",
    "turned 90",
    "turned 180",
    "turned 270",
    "mirrored",
    "mirrored, turned 90",
    "mirrored, turned 180",
    "mirrored, turned 270",
)


def transform(index: int, picture: np.ndarray) -> np.ndarray:
    """The picture mirrored (left to right) when index >= 4, then turned clockwise by
    (index % 4) quarter turns; works on the last two axes."""
    if index >= 4:
        picture = picture[..., ::-1]
    return np.rot90(picture, -(index % 4), axes=(-2, -1))


def _composition(first: int, second: int) -> int:
    probe = np.arange(6, dtype=np.int32).reshape(2, 3)
    done = transform(second, transform(first, probe))
    for index in range(8):
        if np.array_equal(transform(index, probe), done):
            return index
    raise AssertionError("the eight transforms are closed under composition")


_COMPOSED = [[_composition(first, second) for second in range(8)] for first in range(8)]
_INVERSE = [_COMPOSED[index].index(0) for index in range(8)]


def compose(first: int, second: int) -> int:
    """The transform that does `first` then `second`."""
    return _COMPOSED[first][second]


def inverse(index: int) -> int:
    return _INVERSE[index]


def turns_sides(index: int) -> bool:
    return index % 2 == 1


def _plane_basis(side: int) -> np.ndarray:
    """Orthonormal columns spanning constant, x and y over a side x side grid."""
    ys, xs = np.mgrid[0:side, 0:side].astype(np.float64)
    basis = np.stack([np.ones(side * side), xs.ravel(), ys.ravel()], axis=1)
    q, _ = np.linalg.qr(basis)
    return q.astype(np.float32)


_COARSE_PLANE = _plane_basis(COARSE_SIDE)
_FINE_PLANE = _plane_basis(FINE_SIDE)


def thumbnails_array(blobs: list[bytes]) -> np.ndarray:
    """(n, 64, 64) uint8 from the stored thumbnail bytes."""
    if not blobs:
        return np.zeros((0, THUMBNAIL_SIDE, THUMBNAIL_SIDE), dtype=np.uint8)
    return np.frombuffer(b"".join(blobs), dtype=np.uint8).reshape(-1, THUMBNAIL_SIDE, THUMBNAIL_SIDE)


def coarse_vectors(thumbnails: np.ndarray) -> np.ndarray:
    """(n, 64) float32 unit vectors of the thumbnails' centres, planes taken away."""
    side = THUMBNAIL_SIDE - 2 * COARSE_MARGIN
    step = side // COARSE_SIDE
    centre = thumbnails[:, COARSE_MARGIN : COARSE_MARGIN + side, COARSE_MARGIN : COARSE_MARGIN + side]
    flat = _block_means(centre, step).reshape(len(thumbnails), -1)
    flat -= (flat @ _COARSE_PLANE) @ _COARSE_PLANE.T
    norms = np.linalg.norm(flat, axis=1, keepdims=True)
    return np.ascontiguousarray(flat / np.maximum(norms, 1e-6), dtype=np.float32)


def _gaussian_matrix(side: int, sigma: float) -> np.ndarray:
    """The side x side matrix that blurs a profile with a Gaussian of `sigma` pixels, edges
    mirrored (without repeating the edge pixel), as cv2.GaussianBlur does by default."""
    reach = int(np.ceil(3 * sigma))
    offsets = np.arange(-reach, reach + 1)
    weights = np.exp(-0.5 * (offsets / sigma) ** 2)
    weights /= weights.sum()
    matrix = np.zeros((side, side))
    for row in range(side):
        for offset, weight in zip(offsets, weights):
            column = abs(row + offset)
            if column >= side:
                column = 2 * (side - 1) - column
            matrix[row, column] += weight
    return matrix


def _blurred_cells() -> np.ndarray:
    """The COARSE_SIDE x THUMBNAIL_SIDE matrix taking a profile to its blurred cell means over
    the centre: applied to rows and columns, it gives the blurred coarse grid."""
    side = THUMBNAIL_SIDE - 2 * COARSE_MARGIN
    step = side // COARSE_SIDE
    cells = np.zeros((COARSE_SIDE, THUMBNAIL_SIDE))
    for cell in range(COARSE_SIDE):
        start = COARSE_MARGIN + cell * step
        cells[cell, start : start + step] = 1.0 / step
    blurred: np.ndarray = (cells @ _gaussian_matrix(THUMBNAIL_SIDE, COARSE_BLUR)).astype(np.float32)
    return blurred


_BLURRED_CELLS = _blurred_cells()


def blurred_coarse_vectors(thumbnails: np.ndarray) -> np.ndarray:
    """(n, 64) float32 unit vectors like coarse_vectors, of the thumbnails blurred by
    COARSE_BLUR pixels first: small shifts and stretches of the frame change them little."""
    grids = _BLURRED_CELLS @ thumbnails.astype(np.float32) @ _BLURRED_CELLS.T
    flat = grids.reshape(len(thumbnails), -1)
    flat -= (flat @ _COARSE_PLANE) @ _COARSE_PLANE.T
    norms = np.linalg.norm(flat, axis=1, keepdims=True)
    return np.ascontiguousarray(flat / np.maximum(norms, 1e-6), dtype=np.float32)


def transformed_coarse(vectors: np.ndarray, index: int) -> np.ndarray:
    grids = vectors.reshape(-1, COARSE_SIDE, COARSE_SIDE)
    return np.ascontiguousarray(transform(index, grids).reshape(len(vectors), -1))


def plain_vectors(thumbnails: np.ndarray) -> np.ndarray:
    """(n, 64) float32 raw 8 x 8 grey levels of the whole frame, for plain pictures."""
    step = THUMBNAIL_SIDE // COARSE_SIDE
    blocks = thumbnails.reshape(-1, COARSE_SIDE, step, COARSE_SIDE, step).astype(np.float32).mean(axis=(2, 4))
    return np.ascontiguousarray(blocks.reshape(len(thumbnails), -1))


def structure(thumbnails: np.ndarray) -> np.ndarray:
    """Grey levels of structure of each thumbnail: the standard deviation left at FINE_SIDE
    once the best-fitting plane is taken away."""
    small = _downsized(thumbnails).reshape(len(thumbnails), -1)
    residual = small - (small @ _FINE_PLANE) @ _FINE_PLANE.T
    spread: np.ndarray = residual.std(axis=1)
    return spread


def _downsized(thumbnails: np.ndarray) -> np.ndarray:
    return _block_means(thumbnails, THUMBNAIL_SIDE // FINE_SIDE)


def _block_means(grey: np.ndarray, step: int) -> np.ndarray:
    """(n, side / step, side / step) float32 means of the step x step blocks of (n, side,
    side) uint8 grey levels. The sums are taken in whole numbers and divided once in single
    precision: the very values a float32 mean gives (such sums are exact in any order), at a
    fraction of its cost."""
    count, height, width = grey.shape
    across = np.zeros((count, height, width // step), dtype=np.uint16)
    for x in range(step):
        across += grey[:, :, x::step]
    sums = np.zeros((count, height // step, width // step), dtype=np.uint16)
    for y in range(step):
        sums += across[:, y::step, :]
    means: np.ndarray = sums.astype(np.float32) / np.float32(step * step)
    return means


Size = tuple[int, int]  # width, height as shown


def aspect_fits(size_a: Size, size_b: Size, index: int) -> bool:
    """Whether picture b, once turned by transform `index`, has about the shape of a."""
    width_b, height_b = (size_b[1], size_b[0]) if turns_sides(index) else size_b
    if min(size_a) <= 0 or min(width_b, height_b) <= 0:
        return False
    ratio = (size_a[0] / size_a[1]) / (width_b / height_b)
    return bool(1 / ASPECT_LIMIT <= ratio <= ASPECT_LIMIT)


class Comparison(NamedTuple):
    similarity: float  # robust correlation, 1 the same picture
    cropped: bool  # the best fit cut a frame


_FULL_PLANE = _plane_basis(FINE_SIDE).astype(np.float64)
_BLOCKS_PER_SIDE = FINE_SIDE // BLOCK
_BLOCKS = _BLOCKS_PER_SIDE**2


Cuts = tuple[int, int, int, int]  # thumbnail pixels: top, bottom, left, right


def _window(thumbnail: np.ndarray, cuts: Cuts) -> np.ndarray:
    """The thumbnail less `cuts` pixels (top, bottom, left, right), at FINE_SIDE, as floats."""
    top, bottom, left, right = cuts
    window = thumbnail[top : THUMBNAIL_SIDE - bottom, left : THUMBNAIL_SIDE - right]
    if not any(cuts):
        whole: np.ndarray = _downsized(window[None])[0].astype(np.float64)
        return whole
    resized: np.ndarray = cv2.resize(
        np.ascontiguousarray(window, dtype=np.float32), (FINE_SIDE, FINE_SIDE), interpolation=cv2.INTER_AREA
    ).astype(np.float64)
    return resized


def _detrended(values: np.ndarray, keep: np.ndarray | None = None) -> np.ndarray:
    """Values (flat) less the plane fitted to the kept ones (all when `keep` is None)."""
    if keep is None:
        flat: np.ndarray = values - _FULL_PLANE @ (_FULL_PLANE.T @ values)
        return flat
    basis = _FULL_PLANE[keep]
    coefficients = np.linalg.solve(basis.T @ basis, basis.T @ values[keep])
    return values - _FULL_PLANE @ coefficients


def _correlation(a: np.ndarray, b: np.ndarray) -> float:
    energy_a, energy_b = float(a @ a), float(b @ b)
    if energy_a <= NOISE_ENERGY or energy_b <= NOISE_ENERGY:
        # Nothing but rounding left (a flat region less its plane): no structure to agree on.
        return 0.0
    return float(a @ b) / float(np.sqrt(energy_a * energy_b))


def _worst_blocks(errors: np.ndarray) -> list[int]:
    """The DROPPED_BLOCKS blocks that differ most. Of blocks that differ equally (up to
    rounding: stripes, or a picture against its own turn), the first, so that the order of
    sums does not choose."""
    left = errors.astype(np.float64)
    tie = BLOCK_TIE * float(left.max())
    worst = []
    for _ in range(DROPPED_BLOCKS):
        index = int(np.argmax(left >= left.max() - tie))
        worst.append(index)
        left[index] = -np.inf
    return worst


def robust_correlation(a: np.ndarray, b: np.ndarray) -> float:
    """Correlation of two FINE_SIDE frames once each one's plane is taken away, over all
    blocks but the DROPPED_BLOCKS that differ most; the planes are fitted again without those
    blocks, so a dark caption does not tilt them."""
    a, b = a.ravel(), b.ravel()
    ra, rb = _detrended(a), _detrended(b)
    na, nb = ra / max(float(ra.std()), 1e-6), rb / max(float(rb.std()), 1e-6)
    squares = ((na - nb) ** 2).reshape(_BLOCKS_PER_SIDE, BLOCK, _BLOCKS_PER_SIDE, BLOCK)
    errors = squares.sum(axis=(1, 3)).ravel()
    worst = _worst_blocks(errors)
    dropped = np.zeros((_BLOCKS_PER_SIDE, _BLOCKS_PER_SIDE), dtype=bool)
    dropped.ravel()[worst] = True
    keep = ~np.repeat(np.repeat(dropped, BLOCK, axis=0), BLOCK, axis=1).ravel()
    ka, kb = _detrended(a, keep)[keep], _detrended(b, keep)[keep]
    # Leaving blocks out is for a corner that an edit covered, which holds much of the edited
    # copy's structure but little of the other's. When those blocks hold most of both
    # pictures' structure (small subjects on plain grounds), what is left says nothing about
    # the pictures, and every block counts.
    kept_a, kept_b = float(ka @ ka) / max(float(ra @ ra), 1e-9), float(kb @ kb) / max(float(rb @ rb), 1e-9)
    if max(kept_a, kept_b) < KEPT_STRUCTURE:
        return _correlation(ra, rb)
    return _correlation(ka, kb)


# Cuts tried on each axis: (cut of a's near side, of b's near side) and the same for the far
# side, in thumbnail pixels; a frame is cut on one of the two pictures only.
_SIDE_CUTS = [(step, 0) for step in range(0, MAX_CUT + 1)] + [(0, step) for step in range(1, MAX_CUT + 1)]
_AXIS_CUTS = [(near, far) for near in _SIDE_CUTS for far in _SIDE_CUTS]


def _resampling(near: int, far: int) -> np.ndarray:
    """The FINE_SIDE x THUMBNAIL_SIDE matrix that resamples a profile over the interval left
    once `near` and `far` pixels are cut (linear interpolation)."""
    span = THUMBNAIL_SIDE - near - far
    positions = near + (np.arange(FINE_SIDE) + 0.5) * span / FINE_SIDE - 0.5
    # Every position lies inside [0, THUMBNAIL_SIDE - 1), so its row weighs the pixel below it
    # by 1 - d and the one above by d (d its distance from the one below): the weights
    # np.interp gives, to the bit, built directly. The tables are made at import, and the
    # command imports this module to build its argument parser.
    below = np.floor(positions).astype(np.intp)
    above_share = positions - below
    rows = np.arange(FINE_SIDE)
    matrix = np.zeros((FINE_SIDE, THUMBNAIL_SIDE))
    matrix[rows, below] = 1.0 - above_share
    matrix[rows, below + 1] += above_share
    return matrix


def _line_basis() -> np.ndarray:
    """Orthonormal columns spanning constant and slope over FINE_SIDE values."""
    x = np.arange(FINE_SIDE) - (FINE_SIDE - 1) / 2
    return np.stack([np.ones(FINE_SIDE) / np.sqrt(FINE_SIDE), x / np.linalg.norm(x)], axis=1)


def _centring(matrices: np.ndarray) -> np.ndarray:
    """The resampling followed by taking away each resampled profile's line (mean and slope)."""
    basis = _line_basis()
    projection = np.eye(FINE_SIDE) - basis @ basis.T
    centred: np.ndarray = np.einsum("ij,cjk->cik", projection, matrices)
    return centred


_INTERPOLATE_A = np.array([_resampling(near[0], far[0]) for near, far in _AXIS_CUTS])
_INTERPOLATE_B = np.array([_resampling(near[1], far[1]) for near, far in _AXIS_CUTS])
_RESAMPLE_A = _centring(_INTERPOLATE_A)
_RESAMPLE_B = _centring(_INTERPOLATE_B)


def _axis_cuts(profile_a: np.ndarray, profile_b: np.ndarray) -> Cuts:
    """The cuts (a near, a far, b near, b far) under which the two profiles agree best."""
    ma, mb = _RESAMPLE_A @ profile_a, _RESAMPLE_B @ profile_b
    norms = np.linalg.norm(ma, axis=1) * np.linalg.norm(mb, axis=1)
    # A profile that is a line (stripes across, the same down every column) leaves rounding
    # alone once its line is taken away: it agrees with nothing, under every cut alike.
    flat = (np.linalg.norm(ma, axis=1) <= FLAT_PROFILE) | (np.linalg.norm(mb, axis=1) <= FLAT_PROFILE)
    scores = np.where(flat, 0.0, (ma * mb).sum(axis=1) / np.maximum(norms, 1e-9))
    # Of cuts that fit equally well (a profile that is a line plus its mirror image, say),
    # the first, so the least cut: scores that differ by rounding alone do not choose.
    near, far = _AXIS_CUTS[int(np.argmax(scores >= scores.max() - CUT_TIE))]
    return near[0], far[0], near[1], far[1]


def compare(
    thumbnail_a: np.ndarray, thumbnail_b: np.ndarray, index: int, give_up_below: float = UNCUT_MINIMUM
) -> Comparison:
    """How alike picture a and picture b turned by transform `index` are, with each frame
    cut by up to a tenth of any side where that fits better. The cuts are found on each axis
    from the two pictures' mean rows and columns, then the frames are compared whole."""
    b = np.ascontiguousarray(transform(index, thumbnail_b))
    a = thumbnail_a
    whole = robust_correlation(_window(a, (0, 0, 0, 0)), _window(b, (0, 0, 0, 0)))
    if whole < give_up_below:
        return Comparison(whole, False)
    fa, fb = a.astype(np.float64), b.astype(np.float64)
    top_a, bottom_a, top_b, bottom_b = _axis_cuts(fa.mean(axis=1), fb.mean(axis=1))
    left_a, right_a, left_b, right_b = _axis_cuts(fa.mean(axis=0), fb.mean(axis=0))
    cuts_a, cuts_b = (top_a, bottom_a, left_a, right_a), (top_b, bottom_b, left_b, right_b)
    if not any(cuts_a) and not any(cuts_b):
        return Comparison(whole, False)
    cut = robust_correlation(_window(a, cuts_a), _window(b, cuts_b))
    return Comparison(cut, True) if cut > whole + CROP_GAIN else Comparison(whole, False)


def best_transform(
    thumbnail_a: np.ndarray, thumbnail_b: np.ndarray, size_a: Size, size_b: Size, tried: int = TRIED
) -> tuple[int, Comparison]:
    """The transform under which b looks most like a, and that comparison: the `tried` best
    transforms by their uncut score are compared in full."""
    quick = []
    for index in range(8):
        if not aspect_fits(size_a, size_b, index):
            continue
        b = np.ascontiguousarray(transform(index, thumbnail_b))
        uncut = robust_correlation(_window(thumbnail_a, (0, 0, 0, 0)), _window(b, (0, 0, 0, 0)))
        quick.append((uncut, index))
    if not quick:
        return 0, Comparison(0.0, False)
    quick.sort(reverse=True)
    results = [(compare(thumbnail_a, thumbnail_b, index), index) for _, index in quick[:tried]]
    comparison, index = max(results, key=lambda item: item[0].similarity)
    if comparison.similarity < FULL_SEARCH_BELOW:
        # Fine texture cut by a crop tells little uncut: every transform is compared in full.
        results += [(compare(thumbnail_a, thumbnail_b, index), index) for _, index in quick[tried:]]
        comparison, index = max(results, key=lambda item: item[0].similarity)
    return index, comparison


def plain_alike(thumbnail_a: np.ndarray, thumbnail_b: np.ndarray, index: int) -> bool:
    """Plain pictures are the same only when their raw grey levels nearly are."""
    a = _downsized(thumbnail_a[None])[0]
    b = _downsized(np.ascontiguousarray(transform(index, thumbnail_b))[None])[0]
    difference = np.abs(a - b)
    if float(difference.mean()) > PLAIN_MEAN_DIFFERENCE:
        return False
    blocks = difference.reshape(FINE_SIDE // BLOCK, BLOCK, FINE_SIDE // BLOCK, BLOCK).mean(axis=(1, 3))
    return float(blocks.max()) <= PLAIN_BLOCK_LIMIT


def comparison_tables() -> dict[str, Any]:
    """The tables and thresholds of the pair comparison above, as the native comparison
    (pair_verdicts.py) takes them, so that both work from the very same numbers."""
    return {
        "plane": _FULL_PLANE,
        # The resampling before the line is taken away (two weights per row), and the line's basis.
        "interpolate_a": _INTERPOLATE_A,
        "interpolate_b": _INTERPOLATE_B,
        "line_basis": _line_basis(),
        "cuts": np.array([(near[0], far[0], near[1], far[1]) for near, far in _AXIS_CUTS], dtype=np.int64),
        "coarse_plane": _COARSE_PLANE,
        "blurred_cells": _BLURRED_CELLS,
        "settings": {
            "kept_structure": KEPT_STRUCTURE,
            "noise_energy": NOISE_ENERGY,
            "block_tie": BLOCK_TIE,
            "crop_gain": CROP_GAIN,
            "cut_tie": CUT_TIE,
            "flat_profile": FLAT_PROFILE,
            "uncut_minimum": UNCUT_MINIMUM,
            "full_search_below": FULL_SEARCH_BELOW,
            "aspect_limit": ASPECT_LIMIT,
            "plain_mean_difference": PLAIN_MEAN_DIFFERENCE,
            "plain_block_limit": PLAIN_BLOCK_LIMIT,
            "tried": TRIED,
        },
    }
