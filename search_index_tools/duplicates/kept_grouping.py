"""Pairs of the same picture, deciding again only what changed since the decisions kept in
the store were made.

The answer is the one grouping.verified_pairs gives for the same pictures: every picture's
candidates are its nearest rows among all pictures' eight turns and mirror images, and every
candidate pair is verified. What is kept spares the work whose answer cannot have changed:

- no picture added, changed or removed: the last pairs, from one row;
- a picture unchanged, and every neighbour in its kept list still there: its list stays, and
  only the rows of new pictures can enter it, so its vector is searched among those rows
  alone and the two lists are merged; any other picture (new, changed, or one that lost a
  neighbour) is searched among all rows;
- a candidate pair already verified (same two pictures in the same order, same candidate
  transforms, same threshold): its verdict.

With the exact neighbour search (up to grouping.FLAT_LIMIT rows) this gives the same
candidates as searching everything again. Above it a scan without kept decisions searches
an inverted-file index, which is approximate; there new pictures are searched exactly and
the kept lists are those of earlier scans.
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from ..thread_shutdown import shut_down_whole
from . import descriptor, grouping, pair_verdicts
from .kept_decisions import PAIR_RECORD, CandidateList, KeptDecisions, Verdict, digest_of

if TYPE_CHECKING:
    from ._pair_compare import ScanMemo

# Above this many (query, row) products the pictures searched again among all rows use the
# approximate index a scan without kept decisions uses; below, the exact search is cheaper.
EXACT_SEARCH_BUDGET = 200_000_000
KIND_SLICE = 8192  # thumbnails worked out at a time
# Up to this many pictures the sharp and the blurred candidate search run side by side; above
# it one after the other, so that a large folder's peak memory holds one search's rows and
# index at a time (each 8 rows of 256 bytes per picture, twice: 200 MB each at 50,000).
SIDE_BY_SIDE_LIMIT = 50_000
# Rows kept beyond the nearest NEIGHBOURS in each picture's list: when pictures go, the rows
# behind them move up, and the list holds the nearest rows still without a new search.
SPARE_NEIGHBOURS = 8
# The second search, on the blurred coarse vectors of structured pictures, keeps its lists
# under the scope with this added.
BLURRED_SCOPE = "\x00blurred"


class Picture(NamedTuple):
    """What deciding needs of one usable picture."""

    token: int
    size: tuple[int, int]


# Thumbnails of the given positions, (n, side, side) uint8, in that order.
ThumbnailSource = Callable[[list[int]], np.ndarray]
# A pool's map: runs the function on every item, results in order.
Runner = Callable[[Callable[[Any], Any], Sequence[Any]], list[Any]]
# Below this many comparisons to make, starting a pool costs more than it saves.
POOL_MINIMUM = 64
VERIFY_SLICE = 16384  # comparisons prepared at a time (their thumbnails are held meanwhile)
PAIRS_PER_ITEM = 256  # comparisons a worker makes per item it is sent


class ComparisonSlice(NamedTuple):
    """Candidate pairs to compare, as sent to a worker: everything it needs."""

    # The thumbnails the pairs name, one after another: bytes for a worker process, the
    # (n, side, side) array itself for a thread of this process (no copy to make).
    thumbnails: bytes | np.ndarray
    places: tuple[int, ...]  # of those pictures among the scan's
    sizes: tuple[tuple[int, int], ...]  # of those pictures, as shown
    pairs: tuple[tuple[int, int, int, bool], ...]  # (first, second, transform mask, plain)
    threshold: float


@dataclass
class Decided:
    pairs: list[grouping.Pair]
    searched: int = 0  # pictures searched among all rows
    verified: int = 0  # candidate pairs compared
    plain_pairs: set[tuple[int, int]] = field(default_factory=set)  # pairs of plain pictures


def kept_pairs(
    pictures: list[Picture],
    thumbnails: ThumbnailSource,
    threshold: float,
    decisions: KeptDecisions,
    scope: str,
    run: Runner | None = None,
    pairs_per_item: int | None = None,
    shared: bool = False,
) -> Decided:
    """The verified pairs among `pictures` (positions in this list), with the decisions kept
    for `scope` used and brought up to date. `run(function, items)` maps a function over items
    in a pool of processes or threads: the comparisons to make are made there when there are
    enough, `pairs_per_item` (PAIRS_PER_ITEM) to an item; `shared` when it runs them in this
    process."""
    tokens = [picture.token for picture in pictures]
    digest = digest_of(tokens)
    kept = decisions.scope_result(scope, threshold, digest)
    if kept is not None:
        known = _pairs_from_records(kept, {token: position for position, token in enumerate(tokens)})
        if known is not None:
            return known
    lists = decisions.candidate_lists(scope)
    blurred_lists = decisions.candidate_lists(scope + BLURRED_SCOPE)
    kinds = _kinds(pictures, lists, blurred_lists, thumbnails)
    decided = Decided([])
    new_lists: dict[int, CandidateList] = {}
    new_blurred_lists: dict[int, CandidateList] = {}
    verdicts = decisions.verdicts(threshold)
    candidates: list[tuple[bool, int, int, int, tuple[int, int, int]]] = []
    for plain in (False, True):
        positions = [position for position, kind in enumerate(kinds) if kind.plain == plain]
        vectors = np.array([kinds[position].vector for position in positions], dtype=np.float32).reshape(
            -1, 64
        )
        search = _KindSearch(pictures, positions, vectors, lists, plain)
        if plain:
            found = _candidates_of([search])
        else:
            # Cropped copies of finely detailed pictures meet on the blurred vectors only.
            blurred = np.array([kinds[position].blurred for position in positions], dtype=np.float32).reshape(
                -1, 64
            )
            blurred_search = _KindSearch(
                pictures,
                positions,
                blurred,
                blurred_lists,
                False,
                grouping.BLURRED_NEIGHBOURS,
                grouping.BLURRED_MINIMUM,
            )
            found = _candidates_of([search, blurred_search])
            new_blurred_lists.update(blurred_search.changed_lists)
        decided.searched += search.searched
        new_lists.update(search.changed_lists)
        merged = grouping.merged_candidates(found, len(positions))
        for i, j, mask in zip(merged.first.tolist(), merged.second.tolist(), merged.masks.tolist()):
            first, second = positions[i], positions[j]
            candidates.append((plain, first, second, mask, (tokens[first], tokens[second], mask)))
    unknown = [candidate for candidate in candidates if candidate[4] not in verdicts]
    fresh_verdicts = _verify_all(pictures, thumbnails, unknown, threshold, run, pairs_per_item, shared)
    decided.verified = len(fresh_verdicts)
    for plain, first, second, _, key in candidates:
        verdict = verdicts.get(key) or fresh_verdicts[key]
        if verdict.same:
            decided.pairs.append(
                grouping.Pair(first, second, verdict.transform, verdict.similarity, verdict.cropped)
            )
            if plain:
                decided.plain_pairs.add((first, second))
    present = set(tokens)
    decisions.keep_verdicts(threshold, fresh_verdicts)
    decisions.keep_scan(
        scope,
        new_lists,
        [token for token in lists if token not in present],
        threshold,
        digest,
        _records(decided, tokens),
        [
            (
                scope + BLURRED_SCOPE,
                new_blurred_lists,
                [token for token in blurred_lists if token not in present],
            )
        ],
    )
    if fresh_verdicts or len(present) != len(lists):
        decisions.prune()
    return decided


class _Kind(NamedTuple):
    plain: bool
    vector: np.ndarray  # the search vector: coarse for structured pictures, raw grey levels for plain ones
    blurred: np.ndarray | None  # the blurred coarse vector of a structured picture


def _kinds(
    pictures: list[Picture],
    lists: dict[int, CandidateList],
    blurred_lists: dict[int, CandidateList],
    thumbnails: ThumbnailSource,
) -> list[_Kind]:
    """Kind and search vectors of every picture: kept, or worked out from its thumbnail."""
    side = descriptor.COARSE_SIDE**2
    kinds: list[_Kind | None] = [None] * len(pictures)
    missing = []
    for position, picture in enumerate(pictures):
        kept = lists.get(picture.token)
        blurred = blurred_lists.get(picture.token)
        if kept is not None and len(kept.vector) == side and kept.plain:
            kinds[position] = _Kind(True, kept.vector, None)
        elif (
            kept is not None
            and len(kept.vector) == side
            and blurred is not None
            and len(blurred.vector) == side
        ):
            kinds[position] = _Kind(False, kept.vector, blurred.vector)
        else:
            missing.append(position)
    # In slices: working out the structure takes 16 bytes per thumbnail pixel for a moment.
    empty = np.zeros((0, side), np.float32)
    for first in range(0, len(missing), KIND_SLICE):
        part = missing[first : first + KIND_SLICE]
        small = thumbnails(part)
        plain = descriptor.structure(small) < descriptor.PLAIN_STRUCTURE
        coarse = descriptor.coarse_vectors(small[~plain]) if (~plain).any() else empty
        blurred_rows = descriptor.blurred_coarse_vectors(small[~plain]) if (~plain).any() else empty
        flat = descriptor.plain_vectors(small[plain]) if plain.any() else empty
        coarse_rows, blurred_of, flat_rows = iter(coarse), iter(blurred_rows), iter(flat)
        for position, is_plain in zip(part, plain):
            if is_plain:
                kinds[position] = _Kind(True, next(flat_rows), None)
            else:
                kinds[position] = _Kind(False, next(coarse_rows), next(blurred_of))
    return [kind for kind in kinds if kind is not None]


def _candidates_of(searches: list[_KindSearch]) -> list[grouping.CandidateArrays]:
    """The candidates of each search. Up to SIDE_BY_SIDE_LIMIT pictures, the searches run side
    by side, each on a thread of its own with its share of faiss's threads (one each on two
    processors): each processor does a whole search, where one after the other each
    search's steps would be split between them, with OpenMP's threads spinning at every
    step's end on a busy machine, and a search's own Python steps (collecting rows, noting
    lists) would leave a processor idle. A search's answer does not depend on its threads,
    so neither do the candidates."""
    if len(searches) < 2 or len(searches[0].tokens) > SIDE_BY_SIDE_LIMIT:
        return [search.candidates() for search in searches]
    import faiss

    share = faiss.omp_get_max_threads() // len(searches)

    def candidates(search: _KindSearch) -> grouping.CandidateArrays:
        with grouping.faiss_threads(faiss, share):
            return search.candidates()

    # Leaving waits for the other searches, even when this one failed or was interrupted
    # (twice): no thread outlives the call.
    executor = ThreadPoolExecutor(len(searches) - 1, thread_name_prefix="candidates")
    others = []
    try:
        others = [executor.submit(candidates, search) for search in searches[1:]]
        first = candidates(searches[0])
        return [first] + [other.result() for other in others]
    finally:
        shut_down_whole(executor, others)


class _KindSearch:
    """The neighbour search among the pictures of one kind (plain or structured)."""

    def __init__(
        self,
        pictures: list[Picture],
        positions: list[int],
        vectors: np.ndarray,
        lists: dict[int, CandidateList],
        plain: bool,
        neighbours: int = grouping.NEIGHBOURS,
        limit: float | None = None,
    ):
        self.tokens = np.array([pictures[position].token for position in positions], dtype=np.int64)
        self.vectors = np.ascontiguousarray(vectors, dtype=np.float32)
        self.inner_product = not plain
        self.plain = plain
        default_limit = grouping.plain_limit() if plain else grouping.COARSE_MINIMUM
        self.limit = default_limit if limit is None else limit
        self.neighbours = neighbours
        self.lists = lists
        self.searched = 0
        self.changed_lists: dict[int, CandidateList] = {}
        self._merged: set[int] = set()

    def candidates(self) -> grouping.CandidateArrays:
        """The candidate pairs, one entry per close row (grouping.merged_candidates joins them)."""
        count = len(self.tokens)
        if count < 2:
            return grouping.merged_candidates([], count)
        k = min(self.neighbours, 8 * count)
        width = min(k + SPARE_NEIGHBOURS, 8 * count)
        scores = np.full((count, width), -np.inf if self.inner_product else np.inf, dtype=np.float32)
        neighbours = np.full((count, width), -1, dtype=np.int64)
        # Pictures of the last scan: their rows were among those the kept lists were chosen from.
        known = np.array([self._kept(int(token)) is not None for token in self.tokens], dtype=bool)
        usable, shortened = self._place_kept_lists(known, k, scores, neighbours)
        fresh = np.flatnonzero(~usable)
        new = np.flatnonzero(~known)
        unchanged = np.flatnonzero(usable)
        if len(new) and len(unchanged):
            self._merge_new_rows(unchanged, new, scores, neighbours, width)
        if len(fresh):
            self._search_all(fresh, scores, neighbours, width)
        self._merged |= shortened
        self._note_lists(usable, scores, neighbours)
        # Each picture's candidates are its k nearest rows; the spare ones only stand in for
        # rows that go.
        return grouping.neighbour_candidates(
            0, scores[:, :k], neighbours[:, :k], count, self.inner_product, self.limit
        )

    def _kept(self, token: int) -> CandidateList | None:
        kept = self.lists.get(token)
        return kept if kept is not None and kept.plain == self.plain else None

    def _place_kept_lists(
        self, known: np.ndarray, k: int, scores: np.ndarray, neighbours: np.ndarray
    ) -> tuple[np.ndarray, set[int]]:
        """Puts the kept lists that still hold the k best rows into `scores` and `neighbours`,
        less the rows of pictures gone since (a list keeps spare rows for them). Returns which
        pictures have such a list, and those whose list lost rows."""
        count, width = scores.shape
        positions = np.flatnonzero(known)
        usable = np.zeros(count, dtype=bool)
        if not len(positions):
            return usable, set()
        kept = [self.lists[int(self.tokens[position])] for position in positions]
        lengths = np.array([len(item.neighbours) for item in kept], dtype=np.int64)
        tokens = np.concatenate([item.neighbours for item in kept])
        owner = np.repeat(np.arange(len(kept)), lengths)
        order = np.argsort(self.tokens, kind="stable")
        slot = np.minimum(np.searchsorted(self.tokens[order], tokens), count - 1)
        present = self.tokens[order][slot] == tokens
        local = np.where(present, order[slot], -1)
        of_last_scan = present & known[np.maximum(local, 0)]
        # A row of a picture that is here but was not in the last scan cannot be in a list of
        # it: such a list is not what the last scan left, and is searched again.
        foreign = np.bincount(owner[present & ~of_last_scan], minlength=len(kept))
        left = np.bincount(owner[of_last_scan], minlength=len(kept))
        every_row = 8 * int(known.sum())
        fits = (foreign == 0) & (lengths <= width) & ((left >= k) | (left == every_row))
        usable[positions[fits]] = True
        keep = of_last_scan & fits[owner]
        starts = np.cumsum(lengths) - lengths
        rank = np.cumsum(keep) - 1
        rank -= np.concatenate([[0], np.cumsum(keep)])[starts][owner]
        place = positions[owner[keep]]
        transforms = np.concatenate([item.transforms for item in kept]).astype(np.int64)
        neighbours[place, rank[keep]] = transforms[keep] * count + local[keep]
        scores[place, rank[keep]] = np.concatenate([item.scores for item in kept])[keep]
        shortened = set(positions[fits & (left < lengths)].tolist())
        return usable, shortened

    def _merge_new_rows(
        self, unchanged: np.ndarray, new: np.ndarray, scores: np.ndarray, neighbours: np.ndarray, width: int
    ) -> None:
        """Lets the rows of the pictures new since the last scan into the kept lists where
        they rank."""
        import faiss

        count = len(self.tokens)
        new_rows = np.concatenate(
            [descriptor.transformed_coarse(self.vectors[new], index) for index in range(8)]
        )
        row_ids = np.concatenate([index * count + new for index in range(8)]).astype(np.int64)
        index = (
            faiss.IndexFlatIP(new_rows.shape[1])
            if self.inner_product
            else faiss.IndexFlatL2(new_rows.shape[1])
        )
        index.add(new_rows)
        found_scores, found_rows = index.search(self.vectors[unchanged], min(width, len(new_rows)))
        found_ids = np.where(found_rows >= 0, row_ids[np.maximum(found_rows, 0)], -1)
        merged_scores = np.concatenate([scores[unchanged], found_scores], axis=1)
        merged_ids = np.concatenate([neighbours[unchanged], found_ids], axis=1)
        order = np.argsort(-merged_scores if self.inner_product else merged_scores, axis=1, kind="stable")[
            :, :width
        ]
        scores[unchanged] = np.take_along_axis(merged_scores, order, axis=1)
        neighbours[unchanged] = np.take_along_axis(merged_ids, order, axis=1)
        self._merged |= set(unchanged[(order >= width).any(axis=1)].tolist())

    def _search_all(
        self, queries: np.ndarray, scores: np.ndarray, neighbours: np.ndarray, width: int
    ) -> None:
        """Searches the given pictures among all rows, as a scan without kept decisions would."""
        self.searched += len(queries)
        index = self._index_of_all_rows(len(queries))
        scores[queries], neighbours[queries] = grouping.neighbour_search(index, self.vectors[queries], width)

    def _index_of_all_rows(self, queries: int) -> Any:
        """The index of every picture's eight rows, for `queries` pictures to search. The rows
        are let go once the index holds its own copy of them."""
        import faiss

        rows = np.concatenate([descriptor.transformed_coarse(self.vectors, index) for index in range(8)])
        if queries < len(self.tokens) and queries * len(rows) <= EXACT_SEARCH_BUDGET:
            index = (
                faiss.IndexFlatIP(rows.shape[1]) if self.inner_product else faiss.IndexFlatL2(rows.shape[1])
            )
            index.add(rows)
            return index
        return grouping._neighbour_index(rows, self.inner_product)

    def _note_lists(self, usable: np.ndarray, scores: np.ndarray, neighbours: np.ndarray) -> None:
        """The lists to keep: those searched now, and kept ones that changed. Worked out for
        all of them at once (a first scan notes every picture's), each list a row of that."""
        count = len(self.tokens)
        noted = ~usable
        noted[sorted(self._merged)] = True
        positions = np.flatnonzero(noted)
        if not len(positions):
            return
        chosen = neighbours[positions]
        valid = chosen >= 0
        rows = np.where(valid, chosen, 0)
        tokens = self.tokens[rows % count]
        transforms = (rows // count).astype(np.uint8)
        chosen_scores = scores[positions].astype(np.float32)
        vectors = self.vectors[positions]
        whole = valid.all(axis=1)
        for slot, position in enumerate(positions.tolist()):
            # A full list is kept as its row; one with gaps (-1 rows) without them.
            present: Any = slice(None) if whole[slot] else valid[slot]
            kept = CandidateList(
                self.plain,
                vectors[slot],
                tokens[slot][present],
                transforms[slot][present],
                chosen_scores[slot][present],
            )
            self.changed_lists[int(self.tokens[position])] = kept


def _verify_all(
    pictures: list[Picture],
    thumbnails: ThumbnailSource,
    unknown: list[tuple[bool, int, int, int, tuple[int, int, int]]],
    threshold: float,
    run: Runner | None,
    pairs_per_item: int | None = None,
    shared: bool = False,
) -> dict[tuple[int, int, int], Verdict]:
    """The verdicts of the candidate pairs not decided before, made in a pool when given one
    and worth it, `pairs_per_item` (PAIRS_PER_ITEM) pairs per item sent to a worker. `shared`:
    `run` runs in this process (threads), so its items share what is worked out per picture."""
    per_item = PAIRS_PER_ITEM if pairs_per_item is None else pairs_per_item
    keys = list(dict.fromkeys(key for *_, key in unknown))
    step: Callable[[ComparisonSlice], list[Verdict]] = verify
    if shared and keys:
        step = functools.partial(verify, memo=pair_verdicts.scan_memo(len(pictures)))
    of_key = {key: (plain, first, second, mask) for plain, first, second, mask, key in unknown}
    use_pool = run is not None and len(keys) >= POOL_MINIMUM
    verdicts: dict[tuple[int, int, int], Verdict] = {}
    if shared and run is not None and use_pool:
        # Threads of this process take the items as they come free: each is made (its
        # thumbnails gathered) while they work on earlier ones, and only a few are held.
        # (Imported here: a worker process that compares never needs it.)
        from .local_comparisons import LazyItems

        def item(number: int) -> ComparisonSlice:
            part = [of_key[key] for key in keys[number * per_item : (number + 1) * per_item]]
            return _comparison_slice(pictures, thumbnails, part, threshold, as_array=True)

        results = run(step, LazyItems(-(-len(keys) // per_item), item))
        verdicts.update(zip(keys, (verdict for result in results for verdict in result)))
        return verdicts
    # In slices: the thumbnails of a slice's pairs are held until its verdicts are in.
    for start in range(0, len(keys), VERIFY_SLICE):
        part = keys[start : start + VERIFY_SLICE]
        items = [
            _comparison_slice(
                pictures,
                thumbnails,
                [of_key[key] for key in part[first : first + per_item]],
                threshold,
                as_array=shared,
            )
            for first in range(0, len(part), per_item)
        ]
        results = run(step, items) if run is not None and use_pool else [step(item) for item in items]
        verdicts.update(zip(part, (verdict for result in results for verdict in result)))
    return verdicts


def _comparison_slice(
    pictures: list[Picture],
    thumbnails: ThumbnailSource,
    pairs: list[tuple[bool, int, int, int]],
    threshold: float,
    as_array: bool = False,
) -> ComparisonSlice:
    """The item for a worker comparing `pairs`, each picture's thumbnail in it once; with
    `as_array`, for a thread of this process, the thumbnails stay an array."""
    positions = list(dict.fromkeys(position for _, first, second, _ in pairs for position in (first, second)))
    slot = {position: number for number, position in enumerate(positions)}
    held = thumbnails(positions)
    return ComparisonSlice(
        held if as_array else held.tobytes(),
        tuple(positions),
        tuple(pictures[position].size for position in positions),
        tuple((slot[first], slot[second], mask, plain) for plain, first, second, mask in pairs),
        threshold,
    )


def verify(item: ComparisonSlice, memo: ScanMemo | None = None) -> list[Verdict]:
    """Worker step: the verdicts on a slice of candidate pairs, as grouping.verified_pairs
    makes them. `memo`: the scan's, shared by the slices compared in this process."""
    held = item.thumbnails
    found = pair_verdicts.verdicts(
        held if isinstance(held, np.ndarray) else descriptor.thumbnails_array([held]),
        list(item.sizes),
        list(item.pairs),
        item.threshold,
        memo,
        item.places if memo is not None else None,
    )
    return [
        Verdict(bool(same), int(transform), float(similarity), bool(cropped))
        for same, transform, similarity, cropped in zip(
            found.same.tolist(), found.transform.tolist(), found.similarity.tolist(), found.cropped.tolist()
        )
    ]


def _records(decided: Decided, tokens: list[int]) -> np.ndarray:
    records = np.zeros(len(decided.pairs), dtype=PAIR_RECORD)
    for slot, pair in enumerate(decided.pairs):
        records[slot] = (
            tokens[pair.first],
            tokens[pair.second],
            pair.transform,
            pair.similarity,
            pair.cropped,
            (pair.first, pair.second) in decided.plain_pairs,
        )
    return records


def _pairs_from_records(records: np.ndarray, positions: dict[int, int]) -> Decided | None:
    decided = Decided([])
    for record in records:
        first, second = positions.get(int(record["first"])), positions.get(int(record["second"]))
        transform = int(record["transform"])
        if first is None or second is None or transform > 7:
            return None
        if first > second:
            # Kept while the pictures came in another order (older code kept them in listing
            # order): the same pair, named as this scan names its pairs, first place first.
            first, second, transform = second, first, descriptor.inverse(transform)
        decided.pairs.append(
            grouping.Pair(first, second, transform, float(record["similarity"]), bool(record["cropped"]))
        )
        if record["plain"]:
            decided.plain_pairs.add((first, second))
    return decided
