"""From thumbnails to groups of the same picture.

1. Candidates: a faiss neighbour search of every picture's coarse vector among the coarse
   vectors of all pictures in their eight turns and mirror images (exact while the folder is
   small, an inverted-file index beyond FLAT_LIMIT rows, so the cost grows about as n·√n
   rather than n²), and a second, narrower one on the blurred coarse vectors, which finds
   cropped copies of finely detailed pictures that the first misses. Plain pictures are
   searched among plain pictures only, by raw grey levels.
2. Verification: each candidate pair is compared on the finer thumbnails (descriptor.compare,
   made natively by pair_verdicts.py) and kept when its similarity reaches the threshold.
   The search proposes the turns under which two pictures met; when none of them passes, the
   other turns under which the coarse vectors agree are compared too, since the right turn of
   a nearly symmetric picture may have ranked below the neighbour limit.
3. Groups: the kept pairs joined by union-find.
"""

from __future__ import annotations

import contextlib
import hashlib
from collections.abc import Iterator
from typing import Any, NamedTuple

import numpy as np

from . import descriptor

# Decisions a scan keeps in the store (candidate lists, pair verdicts, relations to a keeper)
# are keyed by this number: raise it whenever the candidate search, the verification or the
# description of a member changes what they decide, so that decisions made by older code are
# never taken for new ones. (The search's settings below key the candidate lists themselves,
# through search_key.)
COMPARISON_VERSION = 3

NEIGHBOURS = 24  # per picture, among 8 rows per picture (its own eight among them)
# A candidate pair must be at least this alike on the coarse vectors (cosine); far below any
# similarity threshold, it only spares the finer comparison of hopeless pairs.
COARSE_MINIMUM = 0.55
# The blurred vectors of unrelated pictures agree more often (less detail is left), so that
# search keeps fewer neighbours and asks for closer ones: enough for a cropped copy of a
# finely detailed picture, whose blurred vectors mostly agree at 0.75 to 0.9 where its sharp
# ones fall to 0.2 to 0.5.
BLURRED_NEIGHBOURS = 8
BLURRED_MINIMUM = 0.7
# Plain pictures: candidates within this mean grey-level distance on the raw 8 x 8 vectors.
PLAIN_COARSE_LIMIT = 3.0 * descriptor.PLAIN_MEAN_DIFFERENCE
FLAT_LIMIT = 80_000  # rows searched exactly; above, an inverted-file index
# The inverted file has IVF_LISTS_PER_ROOT times the square root of its rows in lists, of
# which each query probes IVF_PROBES. Edited copies of real photographs among 12,000 and
# 20,000 other pictures were grouped at least as well with 16 probes as with 24 (and, but for
# one copy, as with the exact search), for about three quarters of the searches' processor
# time; 12 or 8 probes lost copies. Among 100,000 (more lists, so a smaller share probed),
# 16, 24 and 36 probes grouped them alike.
IVF_LISTS_PER_ROOT = 1.0
IVF_PROBES = 16
_QUERY_BATCH = 8192
_SEED = 1234


def search_key() -> int:
    """The settings that decide what the candidate search returns for a given set of
    pictures, as one number. Kept candidate lists and kept results are keyed by it beside
    COMPARISON_VERSION, so that lists found by a search with other settings are searched
    again, while the verdicts on pairs (which do not depend on the search) are kept."""
    settings = (
        COMPARISON_VERSION,
        NEIGHBOURS,
        COARSE_MINIMUM,
        BLURRED_NEIGHBOURS,
        BLURRED_MINIMUM,
        PLAIN_COARSE_LIMIT,
        FLAT_LIMIT,
        IVF_LISTS_PER_ROOT,
        IVF_PROBES,
        _SEED,
    )
    digest = hashlib.blake2b(repr(settings).encode(), digest_size=8).digest()
    return int.from_bytes(digest, "little", signed=True)


class Pair(NamedTuple):
    first: int
    second: int
    transform: int  # second turned so looks like first
    similarity: float
    cropped: bool


Candidates = dict[tuple[int, int], set[int]]  # (i, j), i < j: the transforms that turn j into i


def candidate_pairs(
    vectors: np.ndarray,
    inner_product: bool,
    limit: float,
    neighbours: int | None = None,
    found: Candidates | None = None,
) -> Candidates:
    """{(i, j): set of transforms} for i < j: pictures whose coarse vectors are close, with
    the transform that turns j into i; up to `neighbours` (NEIGHBOURS) per picture. Pairs are
    added to `found` when given."""
    count = len(vectors)
    if found is None:
        found = {}
    if count < 2:
        return found
    rows = np.concatenate([descriptor.transformed_coarse(vectors, index) for index in range(8)])
    index = _neighbour_index(rows, inner_product)
    k = min(NEIGHBOURS if neighbours is None else neighbours, len(rows))
    scores, nearest = neighbour_search(index, vectors, k)
    collect_candidates(found, 0, scores, nearest, count, inner_product, limit)
    return found


def neighbour_search(index: Any, queries: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
    """index.search(queries, k): the scores and rows of each query's k nearest, in the
    queries' order.

    An inverted-file index is asked in the order of the list each query falls in: queries
    that probe the same lists follow each other, so the lists they scan are still in the
    processor's caches (the rows of a large folder are far more than its caches hold). Each
    query's answer depends on that query alone, so the order changes no score and no row."""
    count = len(queries)
    scores = np.empty((count, k), dtype=np.float32)
    rows = np.empty((count, k), dtype=np.int64)
    order: np.ndarray | None = None
    quantiser = getattr(index, "quantizer", None)
    if quantiser is not None and count > 1:
        _, nearest_list = quantiser.search(queries, 1)
        order = np.argsort(nearest_list[:, 0], kind="stable")
    for first in range(0, count, _QUERY_BATCH):
        batch = slice(first, first + _QUERY_BATCH) if order is None else order[first : first + _QUERY_BATCH]
        scores[batch], rows[batch] = index.search(np.ascontiguousarray(queries[batch]), k)
    return scores, rows


def collect_candidates(
    found: Candidates,
    first: int,
    scores: np.ndarray,
    nearest: np.ndarray,
    count: int,
    inner_product: bool,
    limit: float,
) -> None:
    """Adds to `found` the candidates of queries first, first + 1, ...: their neighbour rows
    (row = transform * count + picture, -1 for none) and scores, as a search returns them."""
    merged = merged_candidates(
        [neighbour_candidates(first, scores, nearest, count, inner_product, limit)], count
    )
    for i, j, mask in zip(merged.first.tolist(), merged.second.tolist(), merged.masks.tolist()):
        transforms = found.get((i, j))
        if transforms is None:
            found[(i, j)] = set(_TRANSFORMS_OF_MASK[mask])
        else:
            transforms.update(_TRANSFORMS_OF_MASK[mask])


class CandidateArrays(NamedTuple):
    """Candidate pairs as arrays: pictures first < second, and the bits of the transforms
    that turn second into first."""

    first: np.ndarray  # int64
    second: np.ndarray  # int64
    masks: np.ndarray  # int64


_INVERSE_TRANSFORMS = np.array([descriptor.inverse(index) for index in range(8)], dtype=np.int64)
_TRANSFORMS_OF_MASK = [tuple(index for index in range(8) if mask >> index & 1) for mask in range(256)]


def neighbour_candidates(
    first: int,
    scores: np.ndarray,
    nearest: np.ndarray,
    count: int,
    inner_product: bool,
    limit: float,
) -> CandidateArrays:
    """The candidates of queries first, first + 1, ... (rows and scores as a search returns
    them, row = transform * count + picture, -1 for none): one entry per close row of another
    picture, a pair met under several transforms or from both sides appearing more than once.
    Whole arrays at once: a scan of many pictures has hundreds of thousands of such rows."""
    nearest = np.asarray(nearest, dtype=np.int64)
    queries = np.broadcast_to(np.arange(first, first + len(nearest), dtype=np.int64)[:, None], nearest.shape)
    valid = nearest >= 0
    rows = np.where(valid, nearest, 0)
    picture, transform = rows % count, rows // count
    # The scores stay float32, compared as one would compare each of them with the limit.
    close = scores >= limit if inner_product else scores <= limit
    keep = valid & close & (picture != queries)
    query, picture, transform = queries[keep], picture[keep], transform[keep]
    forward = query < picture
    return CandidateArrays(
        np.where(forward, query, picture),
        np.where(forward, picture, query),
        np.left_shift(1, np.where(forward, transform, _INVERSE_TRANSFORMS[transform])),
    )


def merged_candidates(parts: list[CandidateArrays], count: int) -> CandidateArrays:
    """The entries of `parts` merged: one per pair, its transforms joined, in (first, second)
    order."""
    first = np.concatenate([part.first for part in parts]) if parts else np.zeros(0, np.int64)
    if not len(first):
        empty = np.zeros(0, np.int64)
        return CandidateArrays(empty, empty, empty)
    second = np.concatenate([part.second for part in parts])
    masks = np.concatenate([part.masks for part in parts])
    codes = first * count + second
    order = np.argsort(codes, kind="stable")
    codes = codes[order]
    starts = np.flatnonzero(np.concatenate([[True], codes[1:] != codes[:-1]]))
    unique = codes[starts]
    return CandidateArrays(unique // count, unique % count, np.bitwise_or.reduceat(masks[order], starts))


def _neighbour_index(rows: np.ndarray, inner_product: bool) -> Any:
    import faiss

    dimension = rows.shape[1]
    metric = faiss.METRIC_INNER_PRODUCT if inner_product else faiss.METRIC_L2
    if len(rows) <= FLAT_LIMIT:
        index: Any = faiss.IndexFlatIP(dimension) if inner_product else faiss.IndexFlatL2(dimension)
    else:
        lists = int(IVF_LISTS_PER_ROOT * np.sqrt(len(rows)))
        quantiser = faiss.IndexFlatIP(dimension) if inner_product else faiss.IndexFlatL2(dimension)
        index = faiss.IndexIVFFlat(quantiser, dimension, lists, metric)
        size = min(len(rows), 40 * lists)
        sample = np.random.default_rng(_SEED).choice(len(rows), size=size, replace=False)
        index.cp.seed = _SEED
        with faiss_threads(faiss):
            index.train(rows[np.sort(sample)])
        index.nprobe = IVF_PROBES
    with faiss_threads(faiss):
        index.add(rows)
    return index


@contextlib.contextmanager
def faiss_threads(faiss: Any, count: int = 1) -> Iterator[None]:
    """faiss works on `count` threads meanwhile, for the calling thread only.

    Training and filling an inverted-file index are many short parallel steps (a k-means of a
    few thousand rows, then every row's list), and between them OpenMP's idle threads spin:
    on two busy processors that took three times the time and the processor time of one
    thread, for the very same index. Searches run side by side take their share of the
    threads this way too. The thread count is a setting of the calling thread (OpenMP keeps
    it per thread), so the host's other threads are not touched, and it is put back as it
    was, whatever happens."""
    before = faiss.omp_get_max_threads()
    faiss.omp_set_num_threads(max(1, count))
    try:
        yield
    finally:
        faiss.omp_set_num_threads(before)


def verified_pairs(
    thumbnails: np.ndarray, sizes: list[descriptor.Size], plain: np.ndarray, threshold: float
) -> list[Pair]:
    """Pairs of the same picture among the thumbnails: candidates found, then compared (by
    the native comparison, all in one call)."""
    from . import pair_verdicts  # the native comparison reads this module's settings

    candidates = candidate_list(thumbnails, plain)
    verdicts = pair_verdicts.verdicts(thumbnails, sizes, candidates, threshold)
    return [
        Pair(first, second, int(transform), float(similarity), bool(cropped))
        for (first, second, _, _), same, transform, similarity, cropped in zip(candidates, *verdicts)
        if same
    ]


def candidate_list(thumbnails: np.ndarray, plain: np.ndarray) -> list[tuple[int, int, int, bool]]:
    """The candidate pairs among the thumbnails, as the comparison takes them: (first,
    second, bits of the proposed transforms, whether both are plain), in position order."""
    candidates: list[tuple[int, int, int, bool]] = []
    structured = np.flatnonzero(~plain)
    if len(structured) >= 2:
        found = candidate_pairs(descriptor.coarse_vectors(thumbnails[structured]), True, COARSE_MINIMUM)
        candidate_pairs(
            descriptor.blurred_coarse_vectors(thumbnails[structured]),
            True,
            BLURRED_MINIMUM,
            BLURRED_NEIGHBOURS,
            found,
        )
        for (i, j), transforms in sorted(found.items()):
            candidates.append((int(structured[i]), int(structured[j]), transform_mask(transforms), False))
    flat = np.flatnonzero(plain)
    if len(flat) >= 2:
        vectors = descriptor.plain_vectors(thumbnails[flat])
        for (i, j), transforms in sorted(candidate_pairs(vectors, False, plain_limit()).items()):
            candidates.append((int(flat[i]), int(flat[j]), transform_mask(transforms), True))
    return candidates


def transform_mask(transforms: set[int]) -> int:
    """Transforms as the bits the comparison takes."""
    return sum(1 << transform for transform in transforms)


def plain_limit() -> float:
    """The squared L2 distance within which plain pictures are candidates (over 64 values)."""
    return float((PLAIN_COARSE_LIMIT**2) * descriptor.COARSE_SIDE**2)


# The comparison of one candidate pair in numpy: the reference the native comparison
# (pair_verdicts.py), which every scan uses, is checked against.


def verify_structured(
    thumbnails: np.ndarray,
    sizes: list[descriptor.Size],
    first: int,
    second: int,
    transforms: set[int],
    threshold: float,
) -> Pair | None:
    """The candidate pair (first, second) under the transform that fits best, when it reaches
    the threshold. When none of the proposed transforms does, the other turns under which the
    two pictures' coarse vectors agree are compared too (worked out from these two thumbnails
    alone, so the verdict is the same wherever the pair is compared)."""
    best = _best_of(thumbnails, sizes, first, second, sorted(transforms))
    if best is None or best[1].similarity < threshold:
        pair = thumbnails[[first, second]]
        others = _other_turns(
            descriptor.coarse_vectors(pair), descriptor.blurred_coarse_vectors(pair), 0, 1, transforms
        )
        fallback = _best_of(thumbnails, sizes, first, second, others, threshold)
        if fallback is not None and (best is None or fallback[1].similarity > best[1].similarity):
            best = fallback
    if best is not None and best[1].similarity >= threshold:
        return Pair(first, second, best[0], best[1].similarity, best[1].cropped)
    return None


def verify_plain(
    thumbnails: np.ndarray, sizes: list[descriptor.Size], first: int, second: int, transforms: set[int]
) -> Pair | None:
    """The candidate pair of plain pictures (first, second) when their grey levels agree."""
    for transform in sorted(transforms):
        if descriptor.aspect_fits(sizes[first], sizes[second], transform) and descriptor.plain_alike(
            thumbnails[first], thumbnails[second], transform
        ):
            return Pair(first, second, transform, 1.0, False)
    return None


def _best_of(
    thumbnails: np.ndarray,
    sizes: list[descriptor.Size],
    first: int,
    second: int,
    transforms: list[int],
    enough: float = 2.0,
) -> tuple[int, descriptor.Comparison] | None:
    """The transform of `transforms` (that the two pictures' shapes allow) under which they
    compare best, and that comparison; it stops at the first that reaches `enough`."""
    best: tuple[int, descriptor.Comparison] | None = None
    for transform in transforms:
        if not descriptor.aspect_fits(sizes[first], sizes[second], transform):
            continue
        comparison = descriptor.compare(thumbnails[first], thumbnails[second], transform)
        if best is None or comparison.similarity > best[1].similarity:
            best = (transform, comparison)
        if comparison.similarity >= enough:
            break
    return best


def _other_turns(sharp: np.ndarray, blurred: np.ndarray, i: int, j: int, tried: set[int]) -> list[int]:
    """The transforms not in `tried` under which j's coarse vectors (sharp or blurred) agree
    with i's as a candidate would, most alike first."""
    scores = []
    for transform in range(8):
        if transform in tried:
            continue
        score = max(
            float(sharp[i] @ descriptor.transformed_coarse(sharp[j : j + 1], transform)[0]),
            float(blurred[i] @ descriptor.transformed_coarse(blurred[j : j + 1], transform)[0])
            - (BLURRED_MINIMUM - COARSE_MINIMUM),
        )
        if score >= COARSE_MINIMUM:
            scores.append((score, transform))
    return [transform for _, transform in sorted(scores, reverse=True)]


def connected_groups(count: int, pairs: list[Pair]) -> list[list[int]]:
    """The pictures joined by pairs, as lists of at least two positions, in position order."""
    parent = list(range(count))

    def root(item: int) -> int:
        while parent[item] != item:
            parent[item] = parent[parent[item]]
            item = parent[item]
        return item

    for pair in pairs:
        a, b = root(pair.first), root(pair.second)
        if a != b:
            parent[max(a, b)] = min(a, b)
    groups: dict[int, list[int]] = {}
    for item in range(count):
        groups.setdefault(root(item), []).append(item)
    return [members for _, members in sorted(groups.items()) if len(members) >= 2]
