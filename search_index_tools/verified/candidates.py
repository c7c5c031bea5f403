"""Candidate pictures for the verified cropped search: an inverted index over quantised ORB
descriptors.

Matching a crop's descriptors with every picture's costs the whole library on every query.
Instead, every descriptor of a picture is quantised to a visual word, and the index keeps, for
every word, the pictures that have it (with 32 bits of the descriptor, a short signature). A
crop's descriptors vote, through their own words, for the pictures whose descriptor of that word
has a signature within a few bits of theirs; the best-voted pictures are the candidates that the
search verifies geometrically.

- The vocabulary is drawn once from the library's own descriptors: the words are the cells
  of a two-level tree, TOP_WORDS descriptors sampled from the library on top and, below each,
  LEAVES sampled from the descriptors nearest to it. A descriptor's word is its nearest top
  descriptor and, among that one's leaves, its nearest leaf. (Centres refined by k-means were
  tried: learning them took 8-23 s on this 2-processor machine for no measured gain in which
  pictures are proposed.)
- Votes: a crop descriptor gives each picture at most one vote, weighted by how few pictures
  it votes for (the square of the logarithm of the library's pictures over those it votes
  for, an inverse document frequency of the descriptor rather than of its word: one that
  finds a close signature in many pictures says little about any of them); the many
  descriptors a picture has do not make it likelier to be proposed than a few. A crop descriptor looks in its
  QUERY_WORDS nearest words, so a sighting whose descriptor fell just across a word's border
  still votes.
- Layout: every entry keeps where its descriptor lies in its picture, so the votes a picture
  gets can be checked against the crop's layout: votes of a sighting agree on one similarity
  transform (rotation, scale, shift) from crop to picture, chance votes scatter. A picture
  scores the weight of its largest such agreeing set (native consistent_votes), which lifts
  the crop's own picture above the many pictures that collect a few chance votes in a large
  library.
- Kept up to date per file: a new or changed picture adds its own words (a changed one's old
  words are dropped), a vanished one leaves the index. Words are added to a small second part
  of the index, merged into the main part once it has grown by a tenth, so an added picture
  costs its own descriptors and never a rebuild.
"""

from __future__ import annotations

import sqlite3
from collections.abc import Iterable, Iterator
from typing import Any, cast

import numpy as np

from ..sqlite_store import StoreClient, StoreFormat
from ..workers import available_processors
from . import _verified_match
from .thread_waves import map_in_waves

TOP_WORDS = 512  # sampled descriptors of the first level
LEAVES = 128  # sampled descriptors under each of them: TOP_WORDS * LEAVES words in all
TRAINING_DESCRIPTORS = 65536  # at most this many descriptors are drawn from
SEED = 1234
SIGNATURE_BYTES = 4  # first bytes of a descriptor kept with each entry (ORB's most varied bits)
SIGNATURE_DISTANCE = 6  # signatures within this many bits vote
# Words found in more than this share of the pictures say little about any of them, and their
# long lists would cost most of a query: a crop's descriptors of such words do not vote (in a
# small library, only words of more than STOP_MIN pictures: copies of one photograph share theirs).
STOP_SHARE = 0.1
STOP_MIN = 50
MERGE_SHARE = 0.1  # the added part is merged into the main one past this share of it
MERGE_MIN = 50_000  # ... and past this many entries
# A merged main part of fewer entries than this (a few hundred photographs) is not written a
# row per word: writing its rows would cost a first search more than putting the part
# together again from the pictures' terms costs a process's first search.
STORED_MAIN_MIN = 1_000_000
# Words a crop descriptor votes through: its nearest leaves, found in this many nearest top
# cells (a descriptor of an edited crop often lands in a neighbouring word of its original's).
QUERY_WORDS = 2
# The layout check of a picture's votes (pixels of the working sizes): a vote agrees with a
# transform when it lands within LAYOUT_TOLERANCE of its place; pairs fix transforms of a
# scale within LAYOUT_SCALES, from votes at least LAYOUT_SPREAD apart in the crop, and only
# the LAYOUT_HYPOTHESES heaviest votes of a picture form pairs.
LAYOUT_TOLERANCE = 16.0
LAYOUT_SCALES = (1 / 12, 12.0)
LAYOUT_SPREAD = 4.0
LAYOUT_HYPOTHESES = 24
# Where a descriptor lies in its picture is kept in a quarter of a pixel, x and y in 16 bits
# each; an entry whose place is unknown (added without one) keeps UNKNOWN_PLACE.
PLACE_STEPS = 4
UNKNOWN_PLACE = 0xFFFFFFFF

Terms = tuple[np.ndarray, np.ndarray, np.ndarray]  # words, signatures, places of one picture


_POPCOUNT = np.array([bin(value).count("1") for value in range(256)], np.uint8)


def _hamming(first: np.ndarray, second: np.ndarray) -> np.ndarray:
    """Hamming distances of equally shaped uint8 arrays, over their last axis."""
    distances: np.ndarray = _POPCOUNT[np.bitwise_xor(first, second)].sum(axis=-1, dtype=np.int32)
    return distances


class Vocabulary:
    """The two-level tree of words. `top` (TOP_WORDS, 32) and `leaves` (TOP_WORDS, LEAVES, 32)."""

    def __init__(self, top: np.ndarray, leaves: np.ndarray):
        import faiss

        self.top = np.ascontiguousarray(top, np.uint8)
        self.leaves = np.ascontiguousarray(leaves, np.uint8)
        self.count = self.top.shape[0] * self.leaves.shape[1]
        # The tree as faiss's inverted-file index: the top descriptors are its lists' centres,
        # each list holds the leaves sampled under that centre (all nearer to it than to any
        # other), and a search of one list finds the nearest leaf in the nearest centre's list.
        bits = self.top.shape[1] * 8
        self._top_index = faiss.IndexBinaryFlat(bits)
        self._top_index.add(self.top)
        self._tree = faiss.IndexBinaryIVF(self._top_index, bits, self.top.shape[0])
        self._tree.is_trained = True
        self._tree.nprobe = 1
        codes = self.leaves.reshape(-1, self.top.shape[1])
        numbers = np.arange(self.count, dtype=np.int64)
        # The same tree, for the word of every descriptor, in the package's own code: it lists
        # the leaves as the faiss index does and breaks ties alike (the lowest number), and
        # counts distances eight codes at a time.
        self._native_tree = _verified_match.WordTree(self.top, codes) if _native_nearest(self.top) else None
        if self._native_tree is not None and hasattr(self._tree, "add_core"):
            # faiss lists the leaves where the native tree did, without finding them again.
            lists = np.ascontiguousarray(self._native_tree.leaf_lists())
            with _one_thread():
                self._tree.add_core(
                    len(codes), faiss.swig_ptr(codes), faiss.swig_ptr(numbers), faiss.swig_ptr(lists)
                )
        else:
            with _one_thread():
                self._tree.add_with_ids(codes, numbers)

    @classmethod
    def train(cls, descriptors: np.ndarray) -> Vocabulary:
        """A vocabulary drawn from (a seeded sample of) `descriptors`, (n, 32) uint8."""
        rng = np.random.default_rng(SEED)
        if len(descriptors) > TRAINING_DESCRIPTORS:
            descriptors = descriptors[
                np.sort(rng.choice(len(descriptors), TRAINING_DESCRIPTORS, replace=False))
            ]
        descriptors = np.ascontiguousarray(descriptors, np.uint8)
        top_count = max(1, min(TOP_WORDS, len(descriptors) // 4))
        top = descriptors[np.sort(rng.choice(len(descriptors), top_count, replace=False))]
        # Each descriptor of the sample goes to its nearest top one; the leaves of a top one are
        # a seeded sample of those (repeated when it has fewer).
        cells = _nearest(top, descriptors)
        leaves = np.empty((top_count, LEAVES, descriptors.shape[1]), np.uint8)
        # The members of every cell in their sample order, grouped once (a stable sort by
        # cell) rather than found by comparing every cell with the whole sample.
        grouped = descriptors[np.argsort(cells, kind="stable")]
        bounds = np.searchsorted(np.sort(cells), np.arange(top_count + 1))
        for cell in range(top_count):
            members = grouped[bounds[cell] : bounds[cell + 1]]
            if len(members) == 0:
                members = top[cell : cell + 1]
            chosen = rng.choice(len(members), LEAVES, replace=len(members) < LEAVES)
            leaves[cell] = members[chosen]
        return cls(top, leaves)

    def words(self, descriptors: np.ndarray) -> np.ndarray:
        """The word of every descriptor, (n,) int64."""
        if len(descriptors) == 0:
            return np.zeros(0, np.int64)
        if self._native_tree is not None:
            native: np.ndarray = self._native_tree.words(np.ascontiguousarray(descriptors, np.uint8))
            return native
        return self.words_by_faiss(descriptors)

    def words_by_faiss(self, descriptors: np.ndarray) -> np.ndarray:
        """words() as faiss's inverted-file index finds them (for codes the native tree does
        not take, and as the reference the native tree is held to)."""
        if len(descriptors) == 0:
            return np.zeros(0, np.int64)
        with _one_thread():
            _, found = self._tree.search(np.ascontiguousarray(descriptors, np.uint8), 1)
        words: np.ndarray = found[:, 0].astype(np.int64)
        return words

    def near_words(self, descriptors: np.ndarray, count: int) -> tuple[np.ndarray, np.ndarray]:
        """(descriptor position, word) of the `count` nearest words of every descriptor (its
        nearest leaves among the `count` nearest top cells' leaves)."""
        import faiss

        if len(descriptors) == 0 or count <= 1:
            words = self.words(descriptors)
            return np.arange(len(words)), words
        cells = faiss.SearchParametersIVF()
        cells.nprobe = count
        with _one_thread():
            _, found = self._tree.search(np.ascontiguousarray(descriptors, np.uint8), count, params=cells)
        positions = np.repeat(np.arange(len(descriptors)), count)
        flat = found.reshape(-1)
        known = flat >= 0  # fewer leaves than asked for in the cells searched
        return positions[known], flat[known].astype(np.int64)

    def to_bytes(self) -> bytes:
        header = np.array([self.top.shape[0], self.leaves.shape[1], self.top.shape[1]], "<i8").tobytes()
        return header + self.top.tobytes() + self.leaves.tobytes()

    @classmethod
    def from_bytes(cls, data: bytes) -> Vocabulary:
        top_count, leaf_count, width = (int(v) for v in np.frombuffer(data[:24], "<i8"))
        top_size = top_count * width
        top = np.frombuffer(data[24 : 24 + top_size], np.uint8).reshape(top_count, width)
        leaves = np.frombuffer(data[24 + top_size :], np.uint8).reshape(top_count, leaf_count, width)
        return cls(top, leaves)


def training_sample(descriptor_sets: list[np.ndarray]) -> np.ndarray:
    """Descriptors to learn a vocabulary from: of pictures spread evenly over the given ones
    (in their order), about four times what training keeps, so a large library is not copied
    whole."""
    total = sum(len(descriptors) for descriptors in descriptor_sets)
    step = max(1, int(total // (4 * TRAINING_DESCRIPTORS)))
    return np.concatenate(descriptor_sets[::step])


def _native_nearest(codes: np.ndarray) -> bool:
    """Whether the native nearest-code search is the faster road for codes like these: it
    takes codes of whole 64-bit words, and outruns faiss only where it counts eight codes at a
    time (AVX-512's popcount; one at a time it is slower than faiss's own)."""
    return (
        codes.ndim == 2
        and codes.shape[1] > 0
        and codes.shape[1] % 8 == 0
        and "avx512" in _verified_match.nearest_code_roads()
    )


def _nearest(centres: np.ndarray, descriptors: np.ndarray) -> np.ndarray:
    """The position of the nearest of `centres` of every descriptor (the lowest of equally
    near ones, as faiss's flat search gives it)."""
    if len(centres) and _native_nearest(centres):
        native: np.ndarray = _verified_match.nearest_codes(
            np.ascontiguousarray(centres, np.uint8), np.ascontiguousarray(descriptors, np.uint8)
        )
        return native
    return _nearest_by_faiss(centres, descriptors)


def _nearest_by_faiss(centres: np.ndarray, descriptors: np.ndarray) -> np.ndarray:
    import faiss

    index = faiss.IndexBinaryFlat(centres.shape[1] * 8)
    index.add(np.ascontiguousarray(centres))
    with _one_thread():
        nearest: np.ndarray = index.search(np.ascontiguousarray(descriptors), 1)[1][:, 0]
    return nearest


class _one_thread:
    """faiss searches of one thread while in the block (for this thread only: OpenMP keeps the
    setting per thread). A few thousand descriptors take milliseconds on one thread, and many
    times longer when OpenMP's threads wait for processors that others keep busy."""

    def __enter__(self) -> None:
        import faiss

        self._threads = faiss.omp_get_max_threads()
        faiss.omp_set_num_threads(1)

    def __exit__(self, *exc: object) -> None:
        import faiss

        faiss.omp_set_num_threads(self._threads)


def signatures(descriptors: np.ndarray) -> np.ndarray:
    """The signature of every descriptor: its first SIGNATURE_BYTES bytes as one uint32."""
    head = np.ascontiguousarray(np.asarray(descriptors, np.uint8)[:, :SIGNATURE_BYTES])
    return head.view("<u4").reshape(-1) if len(head) else np.zeros(0, np.uint32)


def pack_places(points: np.ndarray) -> np.ndarray:
    """Points (n, 2) of a picture's working size as uint32 places (x and y in quarter pixels)."""
    # 0xFFFF in both halves would read as UNKNOWN_PLACE: the last step is left out.
    steps = np.clip(np.rint(np.asarray(points, np.float64) * PLACE_STEPS), 0, 0xFFFE).astype(np.uint32)
    return (
        (steps[:, 0] << np.uint32(16) | steps[:, 1]).astype(np.uint32)
        if len(steps)
        else np.zeros(0, np.uint32)
    )


def unpack_places(places: np.ndarray) -> np.ndarray:
    """Points (n, 2) float32 of packed places (UNKNOWN_PLACE gives a point far off any picture)."""
    points = np.empty((len(places), 2), np.float32)
    points[:, 0] = (places >> np.uint32(16)).astype(np.float32) / PLACE_STEPS
    points[:, 1] = (places & np.uint32(0xFFFF)).astype(np.float32) / PLACE_STEPS
    points[places == UNKNOWN_PLACE] = -1e9
    return points


def picture_terms(vocabulary: Vocabulary, descriptors: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(words uint32, signatures uint32) of a picture's descriptors, one entry per distinct
    (word, signature), sorted by word."""
    words, marks, _ = placed_picture_terms(vocabulary, descriptors, None)
    return words, marks


def placed_picture_terms(
    vocabulary: Vocabulary, descriptors: np.ndarray, points: np.ndarray | None
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(words uint32, signatures uint32, places uint32) of a picture's descriptors, one entry
    per distinct (word, signature), sorted by word; the place is that of the first descriptor
    of the pair (UNKNOWN_PLACE without `points`)."""
    words = vocabulary.words(descriptors).astype(np.uint32)
    marks = signatures(descriptors)
    if len(words) == 0:
        return words, marks, np.zeros(0, np.uint32)
    pairs, firsts = np.unique(
        words.astype(np.uint64) << np.uint64(32) | marks.astype(np.uint64), return_index=True
    )
    places = (
        np.full(len(pairs), UNKNOWN_PLACE, np.uint32)
        if points is None
        else pack_places(np.asarray(points)[firsts])
    )
    return (
        (pairs >> np.uint64(32)).astype(np.uint32),
        (pairs & np.uint64(0xFFFFFFFF)).astype(np.uint32),
        places,
    )


# Below this many pictures their terms are found in the calling thread: threads would cost
# more than they save.
THREADED_TERMS_FROM = 16


def many_picture_terms(
    vocabulary: Vocabulary, pictures: list[tuple[np.ndarray, np.ndarray | None]]
) -> list[tuple[np.ndarray, np.ndarray, np.ndarray]]:
    """placed_picture_terms of every (descriptors, points) pair, in their order. The word
    search (faiss) lets go of the interpreter lock, so many pictures are shared among a thread
    per processor: a library's first search finds the terms of all its pictures at once."""
    threads = min(available_processors(), len(pictures) // THREADED_TERMS_FROM)

    def terms_of(picture: tuple[np.ndarray, np.ndarray | None]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        return placed_picture_terms(vocabulary, *picture)

    return map_in_waves(terms_of, pictures, threads)


class _Postings:
    """Entries (word, picture number, signature, place) sorted by word, with offsets per word."""

    def __init__(
        self, word_count: int, words: np.ndarray, pictures: np.ndarray, marks: np.ndarray, places: np.ndarray
    ):
        # Words of a vocabulary of at most 65,536 fit 16 bits, which numpy sorts by radix in
        # linear time (the same stable order as sorting them wider).
        narrow = np.uint16 if word_count <= 1 << 16 else np.uint32
        keys = cast("np.ndarray[Any, np.dtype[np.unsignedinteger[Any]]]", words.astype(narrow, copy=False))
        self.offsets = np.zeros(word_count + 1, np.int64)
        np.cumsum(np.bincount(keys, minlength=word_count), out=self.offsets[1:])
        order = np.argsort(keys, kind="stable")
        del keys
        self.pictures = pictures[order].astype(np.uint32, copy=False)
        self.marks = marks[order].astype(np.uint32, copy=False)
        self.places = places[order].astype(np.uint32, copy=False)

    @classmethod
    def empty(cls, word_count: int) -> _Postings:
        nothing = np.zeros(0, np.uint32)
        return cls(word_count, np.zeros(0, np.int64), nothing, nothing, nothing)

    @classmethod
    def of_pictures(
        cls, word_count: int, pictures: Iterable[tuple[int, np.ndarray, np.ndarray, np.ndarray]]
    ) -> _Postings:
        """The entries of (number, words, signatures, places) per picture, in the order a
        stable sort of all of them by word gives (within a word: by picture, then by position),
        placed straight into their slots: a merge holds the pictures' terms and the result,
        about 24 bytes a term, and no sorting order of them all."""
        parts = [
            (number, np.asarray(words), np.asarray(marks, np.uint32), np.asarray(places, np.uint32))
            for number, words, marks, places in pictures
        ]
        narrow = np.uint16 if word_count <= 1 << 16 else np.uint32
        counts = np.zeros(word_count, np.int64)
        for _, words, _, _ in parts:
            if len(words):
                counts += np.bincount(words.astype(narrow, copy=False), minlength=word_count)
        postings = cls.empty(word_count)
        np.cumsum(counts, out=postings.offsets[1:])
        total = int(postings.offsets[-1])
        postings.pictures = np.empty(total, np.uint32)
        postings.marks = np.empty(total, np.uint32)
        postings.places = np.empty(total, np.uint32)
        cursor = postings.offsets[:-1].copy()
        for number, words, marks, places in parts:
            if len(words) == 0:
                continue
            words = words.astype(np.int64)
            if np.any(words[1:] < words[:-1]):
                order = np.argsort(words, kind="stable")
                words, marks, places = words[order], marks[order], places[order]
            # Equal words of one picture take consecutive slots, in their order.
            firsts = np.flatnonzero(np.r_[True, words[1:] != words[:-1]])
            runs = np.diff(np.r_[firsts, len(words)])
            slots = cursor[words] + (np.arange(len(words)) - np.repeat(firsts, runs))
            postings.pictures[slots] = number
            postings.marks[slots] = marks
            postings.places[slots] = places
            cursor[words[firsts]] += runs
        return postings

    def __len__(self) -> int:
        return len(self.pictures)

    def lookup(self, words: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """(query position, picture number, signature, place) of every entry of the given words."""
        starts, ends = self.offsets[words], self.offsets[words + 1]
        lengths = ends - starts
        total = int(lengths.sum())
        if total == 0:
            empty = np.zeros(0, np.int64)
            return empty, empty, np.zeros(0, np.uint32), np.zeros(0, np.uint32)
        query = np.repeat(np.arange(len(words)), lengths)
        # Position of every entry: its range's start plus its rank inside the range.
        firsts = np.cumsum(lengths) - lengths
        positions = np.arange(total) - np.repeat(firsts, lengths)
        positions += np.repeat(starts, lengths)
        return query, self.pictures[positions], self.marks[positions], self.places[positions]


class IndexUnavailable(Exception):
    """The stored part of a candidate index could not be read (its file failed): the index
    cannot vote, and the search must do without it."""


class CandidateIndex:
    """The inverted index of a library's pictures. Pictures are numbered in the order they are
    added; a removed or replaced picture's number is retired. Its main part is either in
    memory or, for an index loaded from its word file, read from the file word by word as a
    query needs it (StoredPostings); pictures added since the last merge are in memory."""

    def __init__(self, vocabulary: Vocabulary):
        self.vocabulary = vocabulary
        self.numbers: dict[str, int] = {}  # path -> live number
        # number -> (what identified the file when it was added, its size)
        self.keys: list[tuple[str, tuple[int, int] | None]] = []
        self._alive = np.zeros(1024, bool)  # grown by doubling; past len(keys) unused
        self.document_counts = np.zeros(vocabulary.count, np.int64)
        self._main: _Postings | StoredPostings = _Postings.empty(vocabulary.count)
        self._added: list[int] = []  # numbers of the pictures added since the last merge
        self._added_size = 0
        self._added_postings: _Postings | None = None
        # live number -> its terms, for every picture whose terms are in memory: all of them,
        # unless the main part is stored; then only those added since.
        self._terms: dict[int, Terms] = {}
        self.merged_below = 0  # numbers below this are in the main part
        self.merge_pending = False  # merged in memory since the main part was last stored

    def __len__(self) -> int:
        return len(self.numbers)

    @property
    def alive(self) -> np.ndarray:
        return self._alive[: len(self.keys)]

    @property
    def stored(self) -> bool:
        return isinstance(self._main, StoredPostings)

    def entry(self, path: str) -> tuple[str, tuple[int, int] | None] | None:
        """(key, size) the picture was added with, or None."""
        number = self.numbers.get(path)
        return None if number is None else self.keys[number]

    def terms(self, number: int) -> Terms:
        """(words, signatures, places) of a live picture, from memory or from the stored part."""
        terms = self._terms.get(number)
        if terms is None:
            assert isinstance(self._main, StoredPostings)
            terms = self._main.picture_terms(number)
        return terms

    def all_terms(self) -> Iterator[tuple[int, np.ndarray, np.ndarray, np.ndarray]]:
        """(number, words, signatures, places) of every live picture, by number."""
        if isinstance(self._main, StoredPostings):
            live = set(self.numbers.values())
            for number, words, marks, places in self._main.all_picture_terms(self.merged_below):
                if number in live:
                    yield number, words, marks, places
        for number in sorted(self._terms):
            if number >= self.merged_below or not self.stored:
                yield (number, *self._terms[number])

    def add(
        self,
        path: str,
        key: str,
        size: tuple[int, int] | None,
        words: np.ndarray,
        marks: np.ndarray,
        merge: bool = True,
        places: np.ndarray | None = None,
    ) -> None:
        """Adds (or replaces) a picture with its terms (from placed_picture_terms; without
        `places` the entries' places are unknown, and their votes never agree on a layout);
        `key` says which file it was made of, `size` is its (width, height) or None for a
        picture that cannot be used."""
        self.remove(path)
        number = len(self.keys)
        self.keys.append((key, size))
        self._grow_alive()
        self._alive[number] = True
        self.numbers[path] = number
        self._terms[number] = _terms(words, marks, places)
        np.add.at(self.document_counts, np.unique(words).astype(np.int64), 1)
        self._added.append(number)
        self._added_size += len(words)
        self._added_postings = None
        if merge:
            self.settle()

    def _grow_alive(self) -> None:
        if len(self.keys) > len(self._alive):
            grown = np.zeros(max(2 * len(self._alive), len(self.keys)), bool)
            grown[: len(self._alive)] = self._alive
            self._alive = grown

    def settle(self) -> None:
        """Merges the added part into the main one when it has outgrown its share (after
        adding many pictures with merge=False)."""
        if self._added_size > max(MERGE_SHARE * len(self._main), MERGE_MIN):
            self._merge()

    def remove(self, path: str) -> None:
        number = self.numbers.pop(path, None)
        if number is None:
            return
        self._alive[number] = False
        words = self.terms(number)[0]
        self._terms.pop(number, None)
        np.subtract.at(self.document_counts, np.unique(words).astype(np.int64), 1)

    def add_many(self, entries: list[tuple[Any, ...]]) -> None:
        """Adds pictures (path, key, size, words, signatures[, places]) not in the index yet,
        all at once into the main part."""
        for path, key, size, words, marks, *rest in entries:
            places = rest[0] if rest else None
            number = len(self.keys)
            self.keys.append((key, size))
            self.numbers[path] = number
            self._terms[number] = _terms(words, marks, places)
        self._grow_alive()
        self._alive[: len(self.keys)] = True
        for entry in entries:
            if len(entry[3]):
                self.document_counts[np.unique(entry[3]).astype(np.int64)] += 1
        self._merge()

    def paths(self) -> list[str]:
        return list(self.numbers)

    def _merge(self) -> None:
        """One main part of every live picture's entries (retired numbers dropped), held in
        memory until the word file stores it. The old parts are let go first."""
        pictures = list(self.all_terms())
        self._main, self._added_postings = _Postings.empty(self.vocabulary.count), None
        self._added, self._added_size = [], 0
        self._terms = {number: (words, marks, places) for number, words, marks, places in pictures}
        self._main = _Postings.of_pictures(self.vocabulary.count, pictures)
        self.merged_below = len(self.keys)
        self.merge_pending = True

    def use_stored_main(self, main: StoredPostings) -> None:
        """Lets go of the main part in memory once the word file holds the same: from now on
        it is read from there, and only the terms of pictures added since stay in memory."""
        self._main = main
        self._terms = {number: terms for number, terms in self._terms.items() if number >= self.merged_below}
        self.merge_pending = False

    def _parts(self) -> list[_Postings | StoredPostings]:
        if not self._added:
            return [self._main]
        if self._added_postings is None:
            # Pictures removed since they were added have no terms left, and no entries.
            self._added_postings = _Postings.of_pictures(
                self.vocabulary.count,
                ((number, *self._terms[number]) for number in self._added if number in self._terms),
            )
        return [self._main, self._added_postings]

    def scores(
        self,
        descriptors: np.ndarray,
        points: np.ndarray | None = None,
        only: np.ndarray | None = None,
        best_of: int = 0,
    ) -> np.ndarray:
        """Scores of a crop's descriptors for every picture number (retired ones score 0): the
        weight of the picture's votes that agree on the crop's layout, given the descriptors'
        `points` in the crop; without them, the weight of all its votes. `only`: a mask of the
        numbers to score (the others score 0; votes weigh the same); best_of > 0: only the
        pictures that may be among that many best get their layout scored (the others score
        0). Raises IndexUnavailable when the stored part cannot be read."""
        count = len(self.keys)
        scores = np.zeros(count, np.float64)
        if len(descriptors) == 0 or len(self.numbers) == 0:
            return scores
        query, pictures, places = self._votes(descriptors, count)
        if len(query) == 0:
            return scores
        # A descriptor that finds a close signature in many pictures tells little about any.
        live = len(self.numbers)
        voted = np.bincount(query, minlength=len(descriptors))
        weights = np.log((live + 1) / (voted[query] + 1)) ** 2
        if only is not None:
            kept = only[pictures]
            query, pictures, places, weights = query[kept], pictures[kept], places[kept], weights[kept]
        if points is None:
            scores += np.bincount(pictures, weights=weights, minlength=count)
        else:
            numbers, agreeing = _verified_match.consistent_votes(
                pictures,
                weights,
                np.ascontiguousarray(np.asarray(points, np.float32)[query]),
                unpack_places(places),
                tolerance=LAYOUT_TOLERANCE,
                min_scale=LAYOUT_SCALES[0],
                max_scale=LAYOUT_SCALES[1],
                min_spread=LAYOUT_SPREAD,
                max_hypotheses=LAYOUT_HYPOTHESES,
                best_of=best_of,
            )
            scores[numbers] = agreeing
        return scores

    def _votes(self, descriptors: np.ndarray, count: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(crop descriptor, picture number, place) of every vote, sorted by picture, then by
        descriptor: a descriptor votes once for a picture that has an entry of one of its
        words with a signature within SIGNATURE_DISTANCE of its own (the entry of the closest
        signature gives the place)."""
        positions, words = self.vocabulary.near_words(descriptors, QUERY_WORDS)
        live = max(1, len(self.numbers))
        telling = self.document_counts[words] <= max(STOP_MIN, STOP_SHARE * live)
        positions, words = positions[telling], words[telling]
        marks = signatures(descriptors)[positions]
        found_queries, found_pictures, found_distances, found_places = [], [], [], []
        for part in self._parts():
            query, pictures, found, places = part.lookup(words)
            distances = np.bitwise_count(np.bitwise_xor(marks[query], found))
            # Numbers past this index's own were given by another process since it was loaded;
            # a stored main part keeps the entries of retired numbers until the next merge.
            keep = (distances <= SIGNATURE_DISTANCE) & (pictures < count)
            keep[keep] = self.alive[pictures[keep]]
            found_queries.append(positions[query[keep]])
            found_pictures.append(pictures[keep].astype(np.int64))
            found_distances.append(distances[keep])
            found_places.append(places[keep])
        query = np.concatenate(found_queries)
        pictures = np.concatenate(found_pictures)
        distances = np.concatenate(found_distances)
        places = np.concatenate(found_places)
        # One vote per crop descriptor and picture, of its closest signature (then its first
        # entry, for one answer whatever the order of the parts).
        order = np.lexsort((places, distances, query, pictures))
        query, pictures, places = query[order], pictures[order], places[order]
        first = np.ones(len(query), bool)
        first[1:] = (query[1:] != query[:-1]) | (pictures[1:] != pictures[:-1])
        return query[first].astype(np.int64), pictures[first], places[first]

    def candidates(self, crop: Any, among: list[str], count: int) -> list[str]:
        """The `count` paths of `among` (indexed ones) of the highest scores, best first; ties
        keep the order of `among`. `crop`: the crop's features (anything with `descriptors`
        and `points`, whose layout the votes are checked against), or its descriptors alone."""
        numbers = np.array([self.numbers[path] for path in among if path in self.numbers], np.int64)
        paths = [path for path in among if path in self.numbers]
        if len(numbers) == 0:
            return []
        listed = np.zeros(len(self.keys), bool)
        listed[numbers] = True
        if hasattr(crop, "descriptors"):
            votes = self.scores(crop.descriptors, crop.points, listed, count)[numbers]
        else:
            votes = self.scores(crop, only=listed)[numbers]
        order = np.lexsort((np.arange(len(numbers)), -votes))[:count]
        return [paths[position] for position in order if votes[position] > 0]


def _terms(words: np.ndarray, marks: np.ndarray, places: np.ndarray | None) -> Terms:
    if places is None:
        places = np.full(len(words), UNKNOWN_PLACE, np.uint32)
    if not len(words) == len(marks) == len(places):
        raise ValueError("a picture's words, signatures and places differ in length")
    return words, marks, np.asarray(places, np.uint32)


# ----------------------------------------------------------------------------- on disk

_WORD_SCHEMA = (
    "CREATE TABLE IF NOT EXISTS vocabulary (name TEXT PRIMARY KEY, data BLOB NOT NULL)",
    # Every indexed picture, with the number its entries carry; its terms are in `terms`.
    "CREATE TABLE IF NOT EXISTS picture_terms (path BLOB PRIMARY KEY, number INTEGER NOT NULL UNIQUE,"
    " file_key TEXT NOT NULL, width INTEGER, height INTEGER)",
    "CREATE TABLE IF NOT EXISTS terms (number INTEGER PRIMARY KEY, words BLOB NOT NULL,"
    " signatures BLOB NOT NULL, places BLOB NOT NULL)",
    # The merged main part, a row per word: the numbers, signatures and places of its entries. Pictures
    # numbered from state.merged_below on are not in it (they were added since the merge), and
    # entries of retired numbers (pictures gone or changed) stay in it until the next merge.
    "CREATE TABLE IF NOT EXISTS postings (word INTEGER PRIMARY KEY, pictures BLOB NOT NULL,"
    " signatures BLOB NOT NULL, places BLOB NOT NULL)",
    "CREATE TABLE IF NOT EXISTS state (id INTEGER PRIMARY KEY CHECK (id = 0),"
    " next_number INTEGER NOT NULL, merged_below INTEGER NOT NULL, merged_entries INTEGER NOT NULL,"
    " document_counts BLOB)",
    "INSERT OR IGNORE INTO state VALUES (0, 0, 0, 0, NULL)",
    # Bumped by every change, so a process notices that another one changed the index; the
    # token, drawn when the file is made, tells a file made anew at the same path.
    "CREATE TABLE IF NOT EXISTS generation (id INTEGER PRIMARY KEY CHECK (id = 0), value INTEGER NOT NULL,"
    " token BLOB NOT NULL)",
    "INSERT OR IGNORE INTO generation VALUES (0, 0, randomblob(16))",
)
_VOCABULARY = "words"
# Damage shows as an error when a page is read, and a search reads only what it needs.
_WORD_FORMAT = StoreFormat("search_index_tools candidate words 3", _WORD_SCHEMA, check_on_open=False)
_LOOKUP_CHUNK = 500  # words asked for in one statement

# The index last loaded from each file, with the generation it was loaded at: a warm search
# in the same process starts from it instead of reading the pictures' list again.
_LOADED: dict[str, tuple[tuple[Any, ...] | None, CandidateIndex]] = {}


def _blob(values: np.ndarray) -> bytes:
    return np.ascontiguousarray(values, "<u4").tobytes()


def _array(blob: bytes) -> np.ndarray:
    if len(blob) % 4:
        raise ValueError("a stored array cut short")
    return np.frombuffer(blob, "<u4").astype(np.uint32)


def _stored_terms(words: bytes, marks: bytes, places: bytes) -> Terms:
    terms = (_array(words), _array(marks), _array(places))
    if not len(terms[0]) == len(terms[1]) == len(terms[2]):
        raise ValueError("a stored picture's terms differ in length")
    return terms


class StoredPostings:
    """The main part of a loaded candidate index, left in its word file: a query reads the
    rows of its own words (a few thousand entries each), so neither loading the index nor
    keeping it costs the library's hundreds of millions of entries."""

    def __init__(self, store: WordStore, entries: int):
        self._store = store
        self._entries = entries

    def attach(self, store: WordStore) -> None:
        """Reads through `store`'s connection from now on (a new search's)."""
        self._store = store

    def __len__(self) -> int:
        return self._entries

    def _rows(self, sql: str, parameters: Iterable[Any] = ()) -> list[tuple[Any, ...]]:
        db = self._store.connection()
        if db is None:
            raise IndexUnavailable("the word file is closed")
        import sqlite3

        try:
            rows: list[tuple[Any, ...]] = db.execute(sql, tuple(parameters)).fetchall()
            return rows
        except sqlite3.Error as error:
            self._store.give_up(error)
            raise IndexUnavailable(str(error)) from error

    def lookup(self, words: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """(query position, picture number, signature, place) of every entry of the given words."""
        wanted = np.unique(words).tolist()
        # The rows' bytes as read: the arrays are made once, of all of them joined in the
        # query's order, not a few arrays per row.
        found: dict[int, tuple[bytes, bytes, bytes]] = {}
        try:
            for first in range(0, len(wanted), _LOOKUP_CHUNK):
                chunk = wanted[first : first + _LOOKUP_CHUNK]
                marks = ", ".join("?" * len(chunk))
                for word, pictures, signatures_blob, places in self._rows(
                    f"SELECT word, pictures, signatures, places FROM postings WHERE word IN ({marks})", chunk
                ):
                    if len(pictures) % 4 or not len(pictures) == len(signatures_blob) == len(places):
                        raise ValueError("a stored word's entries are cut short or differ in length")
                    found[word] = (pictures, signatures_blob, places)
        except ValueError as error:
            self._store.give_up(error)
            raise IndexUnavailable(str(error)) from error
        empty = (b"", b"", b"")
        rows = [found.get(word, empty) for word in words.tolist()]
        lengths = [len(row[0]) // 4 for row in rows]
        if sum(lengths) == 0:
            nothing = np.zeros(0, np.int64)
            return nothing, nothing, np.zeros(0, np.uint32), np.zeros(0, np.uint32)
        query = np.repeat(np.arange(len(words)), lengths)
        pictures, found_marks, places = (
            np.frombuffer(b"".join([row[part] for row in rows]), "<u4").astype(np.uint32) for part in range(3)
        )
        return query, pictures, found_marks, places

    def picture_terms(self, number: int) -> Terms:
        rows = self._rows("SELECT words, signatures, places FROM terms WHERE number = ?", (number,))
        if not rows:
            return np.zeros(0, np.uint32), np.zeros(0, np.uint32), np.zeros(0, np.uint32)
        return self._terms_of(*rows[0])

    def all_picture_terms(self, below: int) -> Iterator[tuple[int, np.ndarray, np.ndarray, np.ndarray]]:
        """(number, words, signatures, places) of the stored pictures numbered below `below`,
        by number."""
        db = self._store.connection()
        if db is None:
            raise IndexUnavailable("the word file is closed")
        import sqlite3

        try:
            for number, words, marks, places in db.execute(
                "SELECT number, words, signatures, places FROM terms WHERE number < ? ORDER BY number",
                (below,),
            ):
                yield number, *self._terms_of(words, marks, places)
        except sqlite3.Error as error:
            self._store.give_up(error)
            raise IndexUnavailable(str(error)) from error

    def _terms_of(self, words: bytes, marks: bytes, places: bytes) -> Terms:
        try:
            return _stored_terms(words, marks, places)
        except ValueError as error:
            self._store.give_up(error)
            raise IndexUnavailable(str(error)) from error


class WordStore(StoreClient):
    """The candidate index of a library, kept in its own SQLite file: the vocabulary, the
    pictures with their terms, the merged main part a row per word, and the document counts.
    Loading it reads the vocabulary and the list of pictures (and the terms of pictures added
    since the last merge); a query reads the rows of its words. Without a file (None), or with
    one that cannot be used, the index lives in memory for one search only. Like the feature
    store, it only ever saves work: errors make it stop using the file."""

    STORE_FORMAT = _WORD_FORMAT

    def __init__(self, file_path: str | None):
        super().__init__(file_path)
        self._path = file_path
        self._generation: tuple[Any, ...] | None = None

    def connection(self) -> sqlite3.Connection | None:
        return self._db

    def give_up(self, error: BaseException, remove: bool = False) -> None:
        """Stops using the file after `error`; a ValueError comes from a stored value that
        cannot be decoded: the file is damaged."""
        import sqlite3

        damaged = remove or isinstance(error, ValueError)
        damaged = damaged or (
            isinstance(error, sqlite3.DatabaseError) and not isinstance(error, sqlite3.OperationalError)
        )
        if self._path is not None:
            _LOADED.pop(self._path, None)
        self._store.fail(error, damaged=damaged)

    _give_up = give_up

    def _current_generation(self) -> tuple[Any, ...] | None:
        assert self._db is not None
        row = self._db.execute("SELECT value, token FROM generation WHERE id = 0").fetchone()
        return None if row is None else tuple(row)

    def load(self) -> CandidateIndex | None:
        """The stored index (None when no vocabulary was learnt yet)."""
        import sqlite3

        if self._db is None:
            return None
        assert self._path is not None  # the store opens a connection on a file only
        try:
            generation = self._current_generation()
            cached = _LOADED.get(self._path)
            if cached is not None and cached[0] == generation:
                self._generation = generation
                if isinstance(cached[1]._main, StoredPostings):
                    cached[1]._main.attach(self)
                return cached[1]
            index = self._read()
        except (sqlite3.Error, ValueError) as error:
            self.give_up(error)
            return None
        if index is None:
            return None
        self._generation = generation
        _LOADED[self._path] = (generation, index)
        return index

    def _read(self) -> CandidateIndex | None:
        import os

        assert self._db is not None
        row = self._db.execute("SELECT data FROM vocabulary WHERE name = ?", (_VOCABULARY,)).fetchone()
        if row is None:
            return None
        index = CandidateIndex(Vocabulary.from_bytes(row[0]))
        next_number, merged_below, merged_entries, counts = self._db.execute(
            "SELECT next_number, merged_below, merged_entries, document_counts FROM state WHERE id = 0"
        ).fetchone()
        index.keys = [("", None)] * next_number
        for path, number, key, width, height in self._db.execute(
            "SELECT path, number, file_key, width, height FROM picture_terms ORDER BY number"
        ):
            if not 0 <= number < next_number:
                raise ValueError("a picture number out of range")
            index.numbers[os.fsdecode(path)] = number
            index.keys[number] = (key, None if width is None else (width, height))
        index._grow_alive()
        index._alive[list(index.numbers.values())] = True
        if counts is not None:
            stored_counts = np.frombuffer(counts, "<i8")
            if len(stored_counts) != index.vocabulary.count:
                raise ValueError("document counts of another vocabulary")
            index.document_counts = stored_counts.astype(np.int64)
        if merged_entries:
            index._main = StoredPostings(self, merged_entries)
        else:  # no main part was written: every picture's terms are read below
            merged_below = 0
        index.merged_below = merged_below
        live = set(index.numbers.values())
        for number, words, marks, places in self._db.execute(
            "SELECT number, words, signatures, places FROM terms WHERE number >= ? ORDER BY number",
            (merged_below,),
        ):
            if number in live:
                terms = _stored_terms(words, marks, places)
                index._terms[number] = terms
                index._added.append(number)
                index._added_size += len(terms[0])
        return index

    def save_vocabulary(self, vocabulary: Vocabulary) -> Vocabulary:
        """Stores a newly learnt vocabulary, unless another process stored one first: the
        vocabulary that is stored is returned, and the caller uses that one."""
        import sqlite3

        if self._db is None or not self._writable:
            return vocabulary
        try:
            with self._db:
                self._db.execute("BEGIN IMMEDIATE")
                row = self._db.execute(
                    "SELECT data FROM vocabulary WHERE name = ?", (_VOCABULARY,)
                ).fetchone()
                if row is not None:
                    return Vocabulary.from_bytes(row[0])
                for table in ("picture_terms", "terms", "postings"):
                    self._db.execute(f"DELETE FROM {table}")
                self._db.execute(
                    "UPDATE state SET next_number = 0, merged_below = 0, merged_entries = 0,"
                    " document_counts = NULL WHERE id = 0"
                )
                self._db.execute("INSERT INTO vocabulary VALUES (?, ?)", (_VOCABULARY, vocabulary.to_bytes()))
                self._db.execute("UPDATE generation SET value = value + 1 WHERE id = 0")
                self._generation = self._current_generation()
        except (sqlite3.Error, ValueError) as error:  # ValueError: a stored vocabulary cut short
            self.give_up(error)
        return vocabulary

    def save(self, index: CandidateIndex, added: list[str], removed: list[str]) -> None:
        """Writes the pictures `added` to `index` (with their terms), forgets the `removed`
        ones, and stores the main part when the index merged it since it was loaded. When
        another process changed the file since this one loaded it, the added pictures are
        numbered after that process's, the merged main part is not written (the other
        process's pictures would be missing from it), and the next search reads the file
        again."""
        import sqlite3

        if self._db is None or not self._writable or not (added or removed or index.merge_pending):
            self._remember(index)
            return
        try:
            with self._db:
                self._db.execute("BEGIN IMMEDIATE")
                changed_elsewhere = self._current_generation() != self._generation
                stored_main = self._write(index, added, removed, renumber=changed_elsewhere)
                self._db.execute("UPDATE generation SET value = value + 1 WHERE id = 0")
                generation = self._current_generation()
        except (sqlite3.Error, ValueError) as error:
            self.give_up(error)
            return
        # Another process's changes since this one loaded are read on the next search.
        self._generation = None if changed_elsewhere else generation
        if not changed_elsewhere and stored_main:
            index.use_stored_main(StoredPostings(self, len(index._main)))
        elif not changed_elsewhere:
            index.merge_pending = False
        self._remember(index)

    def _write(self, index: CandidateIndex, added: list[str], removed: list[str], renumber: bool) -> bool:
        """Writes the changes; True when the merged main part was written too."""
        import os

        assert self._db is not None
        next_number, merged_below, merged_entries, counts_blob = self._db.execute(
            "SELECT next_number, merged_below, merged_entries, document_counts FROM state WHERE id = 0"
        ).fetchone()
        counts = (
            np.zeros(index.vocabulary.count, np.int64)
            if counts_blob is None
            else np.frombuffer(counts_blob, "<i8").astype(np.int64)
        )
        if len(counts) != index.vocabulary.count:
            raise ValueError("document counts of another vocabulary")
        # Pictures leaving the file (gone, or stored again below) take their words' counts along.
        for path in [*removed, *added]:
            path_bytes = os.fsencode(path)
            row = self._db.execute(
                "SELECT number FROM picture_terms WHERE path = ?", (path_bytes,)
            ).fetchone()
            if row is None:
                continue
            old = self._db.execute("SELECT words FROM terms WHERE number = ?", (row[0],)).fetchone()
            if old is not None and len(old[0]):
                counts[np.unique(_array(old[0])).astype(np.int64)] -= 1
            self._db.execute("DELETE FROM picture_terms WHERE path = ?", (path_bytes,))
            self._db.execute("DELETE FROM terms WHERE number = ?", (row[0],))
        for path in added:
            number = index.numbers[path]
            key, size = index.keys[number]
            words, marks, places = index.terms(number)
            if renumber:
                number, next_number = next_number, next_number + 1
            self._db.execute(
                "INSERT INTO picture_terms VALUES (?, ?, ?, ?, ?)",
                (
                    os.fsencode(path),
                    number,
                    key,
                    None if size is None else size[0],
                    None if size is None else size[1],
                ),
            )
            self._db.execute(
                "INSERT INTO terms VALUES (?, ?, ?, ?)", (number, _blob(words), _blob(marks), _blob(places))
            )
            if len(words):
                counts[np.unique(words).astype(np.int64)] += 1
        if not renumber:
            next_number = max(next_number, len(index.keys))
        stored_main = False
        if index.merge_pending and not renumber and isinstance(index._main, _Postings):
            if len(index._main) >= STORED_MAIN_MIN:
                merged_below, merged_entries = index.merged_below, len(index._main)
                self._write_postings(index._main)
                stored_main = True
            else:  # every picture's terms are read on loading
                merged_below, merged_entries = 0, 0
                self._db.execute("DELETE FROM postings")
        self._db.execute(
            "UPDATE state SET next_number = ?, merged_below = ?, merged_entries = ?, document_counts = ?"
            " WHERE id = 0",
            (next_number, merged_below, merged_entries, counts.astype("<i8").tobytes()),
        )
        return stored_main

    def _write_postings(self, main: _Postings) -> None:
        assert self._db is not None
        self._db.execute("DELETE FROM postings")
        # Rows are slices of the two arrays' bytes, handed to SQLite without a copy each.
        pictures = memoryview(np.ascontiguousarray(main.pictures, "<u4")).cast("B")
        marks = memoryview(np.ascontiguousarray(main.marks, "<u4")).cast("B")
        places = memoryview(np.ascontiguousarray(main.places, "<u4")).cast("B")
        bounds = (main.offsets * 4).tolist()
        self._db.executemany(
            "INSERT INTO postings VALUES (?, ?, ?, ?)",
            (
                (
                    word,
                    pictures[bounds[word] : bounds[word + 1]],
                    marks[bounds[word] : bounds[word + 1]],
                    places[bounds[word] : bounds[word + 1]],
                )
                for word in np.flatnonzero(np.diff(main.offsets)).tolist()
            ),
        )

    def _remember(self, index: CandidateIndex) -> None:
        if self._path is not None and self._generation is not None:
            _LOADED[self._path] = (self._generation, index)
        elif self._path is not None:
            _LOADED.pop(self._path, None)
