"""Verdicts on candidate pairs, made by the native comparison (native/, built as
_pair_compare): the comparison of descriptor.py and grouping.verify_structured /
grouping.verify_plain, step for step in C++, for many pairs per call.

The numpy comparison stays as the reference the native one is checked against
(reference_verdicts, for the tests and bench/bench_duplicates.py): the verdicts, transforms
and crop flags are the same, and the similarities agree to 1e-6 (seen: 2e-9 at most; sums are
taken in another order, and the cut frames are resampled the way cv2's area resize does it).
"""

from __future__ import annotations

from collections.abc import Sequence
from functools import cache
from typing import TYPE_CHECKING, NamedTuple

import numpy as np

from . import descriptor, grouping

if TYPE_CHECKING:
    from ._pair_compare import PairComparer, ScanMemo


class Verdicts(NamedTuple):
    """One entry per pair, in the order asked."""

    same: np.ndarray  # bool
    transform: np.ndarray  # uint8: turns the second picture into the first
    similarity: np.ndarray  # float64
    cropped: np.ndarray  # bool


@cache
def comparer() -> PairComparer:
    """The native comparison with descriptor.py's tables (made once per process). Imported
    here, when first needed: a worker that only reads pictures never loads it."""
    from ._pair_compare import PairComparer

    tables = descriptor.comparison_tables()
    settings = {
        **tables.pop("settings"),
        "coarse_minimum": grouping.COARSE_MINIMUM,
        "blurred_minimum": grouping.BLURRED_MINIMUM,
    }
    return PairComparer(**tables, settings=settings)


def scan_memo(count: int) -> ScanMemo:
    """A memo for the comparisons of one scan's `count` pictures, to share between the calls
    (and threads) that make them: what they work out per picture is worked out once."""
    from ._pair_compare import ScanMemo

    return ScanMemo(count)


def verdicts(
    thumbnails: np.ndarray,
    sizes: Sequence[descriptor.Size],
    pairs: Sequence[tuple[int, int, int, bool]],
    threshold: float,
    memo: ScanMemo | None = None,
    places: Sequence[int] | None = None,
) -> Verdicts:
    """The verdict on each pair (first, second, transform mask, plain) of the thumbnails
    ((n, 64, 64) uint8, sizes as shown, in the same order). With a scan's memo, `places`
    gives each thumbnail's place among the scan's pictures (the same picture, the same place,
    in every call that shares the memo)."""
    table = np.array([pair[:3] for pair in pairs], dtype=np.int64).reshape(-1, 3)
    same, transform, similarity, cropped = comparer().verdicts(
        np.ascontiguousarray(thumbnails, dtype=np.uint8),
        np.array(sizes, dtype=np.int64).reshape(-1, 2),
        np.ascontiguousarray(table[:, 0]),
        np.ascontiguousarray(table[:, 1]),
        table[:, 2].astype(np.uint8),
        np.array([pair[3] for pair in pairs], dtype=bool),
        float(threshold),
        memo,
        None if places is None else np.array(places, dtype=np.int64).reshape(-1),
    )
    return Verdicts(same, transform, similarity, cropped)


def best_transform(
    thumbnail_a: np.ndarray, thumbnail_b: np.ndarray, size_a: descriptor.Size, size_b: descriptor.Size
) -> tuple[int, descriptor.Comparison]:
    """descriptor.best_transform, natively."""
    index, similarity, cropped = comparer().best_transform(thumbnail_a, thumbnail_b, size_a, size_b)
    return index, descriptor.Comparison(similarity, cropped)


def reference_verdicts(
    thumbnails: np.ndarray,
    sizes: Sequence[descriptor.Size],
    pairs: Sequence[tuple[int, int, int, bool]],
    threshold: float,
) -> Verdicts:
    """verdicts(), made pair by pair by the numpy comparison: the reference."""
    found = []
    for first, second, mask, plain in pairs:
        transforms = {transform for transform in range(8) if mask >> transform & 1}
        if plain:
            found.append(grouping.verify_plain(thumbnails, list(sizes), first, second, transforms))
        else:
            found.append(
                grouping.verify_structured(thumbnails, list(sizes), first, second, transforms, threshold)
            )
    return Verdicts(
        np.array([pair is not None for pair in found], dtype=bool),
        np.array([pair.transform if pair else 0 for pair in found], dtype=np.uint8),
        np.array([pair.similarity if pair else 0.0 for pair in found], dtype=np.float64),
        np.array([bool(pair.cropped) if pair else False for pair in found], dtype=bool),
    )
