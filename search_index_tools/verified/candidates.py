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
- Votes: a crop descriptor gives each picture at most one vote, weighted by how rare its word
  is in the library (inverse document frequency); the many descriptors a picture has do not
  make it likelier to be proposed than a few.
- Kept up to date per file: a new or changed picture adds its own words (a changed one's old
  words are dropped), a vanished one leaves the index. Words are added to a small second part
  of the index, merged into the main part once it has grown by a tenth, so an added picture
  costs its own descriptors and never a rebuild.
"""

from __future__ import annotations

from typing import Any, cast

import numpy as np

from ..sqlite_store import StoreClient, StoreFormat

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
        with _one_thread():
            self._tree.add_with_ids(
                self.leaves.reshape(-1, self.top.shape[1]), np.arange(self.count, dtype=np.int64)
            )

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
        for cell in range(top_count):
            members = descriptors[cells == cell]
            if len(members) == 0:
                members = top[cell : cell + 1]
            chosen = rng.choice(len(members), LEAVES, replace=len(members) < LEAVES)
            leaves[cell] = members[chosen]
        return cls(top, leaves)

    def words(self, descriptors: np.ndarray) -> np.ndarray:
        """The word of every descriptor, (n,) int64."""
        if len(descriptors) == 0:
            return np.zeros(0, np.int64)
        with _one_thread():
            _, found = self._tree.search(np.ascontiguousarray(descriptors, np.uint8), 1)
        words: np.ndarray = found[:, 0].astype(np.int64)
        return words

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


def _nearest(centres: np.ndarray, descriptors: np.ndarray) -> np.ndarray:
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


def picture_terms(vocabulary: Vocabulary, descriptors: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(words uint32, signatures uint32) of a picture's descriptors, one entry per distinct
    (word, signature), sorted by word."""
    words = vocabulary.words(descriptors).astype(np.uint32)
    marks = signatures(descriptors)
    if len(words) == 0:
        return words, marks
    pairs = np.unique(words.astype(np.uint64) << np.uint64(32) | marks.astype(np.uint64))
    return (pairs >> np.uint64(32)).astype(np.uint32), (pairs & np.uint64(0xFFFFFFFF)).astype(np.uint32)


class _Postings:
    """Entries (word, picture number, signature) sorted by word, with offsets per word."""

    def __init__(self, word_count: int, words: np.ndarray, pictures: np.ndarray, marks: np.ndarray):
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

    @classmethod
    def empty(cls, word_count: int) -> _Postings:
        return cls(word_count, np.zeros(0, np.int64), np.zeros(0, np.uint32), np.zeros(0, np.uint32))

    def __len__(self) -> int:
        return len(self.pictures)

    def lookup(self, words: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(query position, picture number, signature) of every entry of the given words."""
        starts, ends = self.offsets[words], self.offsets[words + 1]
        lengths = ends - starts
        total = int(lengths.sum())
        if total == 0:
            empty = np.zeros(0, np.int64)
            return empty, empty, np.zeros(0, np.uint32)
        query = np.repeat(np.arange(len(words)), lengths)
        # Position of every entry: its range's start plus its rank inside the range.
        firsts = np.cumsum(lengths) - lengths
        positions = np.arange(total) - np.repeat(firsts, lengths) + np.repeat(starts, lengths)
        return query, self.pictures[positions], self.marks[positions]


class CandidateIndex:
    """The inverted index of a library's pictures, kept in memory. Pictures are numbered in the
    order they are added; a removed or replaced picture's number is retired."""

    def __init__(self, vocabulary: Vocabulary):
        self.vocabulary = vocabulary
        self.numbers: dict[str, int] = {}  # path -> live number
        # number -> (what identified the file when it was added, its size)
        self.keys: list[tuple[str, tuple[int, int] | None]] = []
        self._alive = np.zeros(1024, bool)  # grown by doubling; past len(keys) unused
        self.document_counts = np.zeros(vocabulary.count, np.int64)
        self._main = _Postings.empty(vocabulary.count)
        self._added: list[tuple[np.ndarray, np.ndarray, np.ndarray]] = []  # (words, number, signatures)
        self._added_size = 0
        self._added_postings: _Postings | None = None
        self._terms: dict[int, tuple[np.ndarray, np.ndarray]] = {}  # live number -> its terms

    def __len__(self) -> int:
        return len(self.numbers)

    @property
    def alive(self) -> np.ndarray:
        return self._alive[: len(self.keys)]

    def entry(self, path: str) -> tuple[str, tuple[int, int] | None] | None:
        """(key, size) the picture was added with, or None."""
        number = self.numbers.get(path)
        return None if number is None else self.keys[number]

    def add(
        self,
        path: str,
        key: str,
        size: tuple[int, int] | None,
        words: np.ndarray,
        marks: np.ndarray,
        merge: bool = True,
    ) -> None:
        """Adds (or replaces) a picture with its terms (from picture_terms); `key` says which
        file it was made of, `size` is its (width, height) or None for a picture that cannot
        be used."""
        self.remove(path)
        number = len(self.keys)
        self.keys.append((key, size))
        if number >= len(self._alive):
            self._alive = np.concatenate([self._alive, np.zeros(len(self._alive), bool)])
        self._alive[number] = True
        self.numbers[path] = number
        self._terms[number] = (words, marks)
        np.add.at(self.document_counts, np.unique(words).astype(np.int64), 1)
        self._added.append((words.astype(np.int64), np.full(len(words), number, np.uint32), marks))
        self._added_size += len(words)
        self._added_postings = None
        if merge:
            self.settle()

    def settle(self) -> None:
        """Merges the added part into the main one when it has outgrown its share (after
        adding many pictures with merge=False)."""
        if self._added_size > max(MERGE_SHARE * len(self._main), 50_000):
            self._merge()

    def remove(self, path: str) -> None:
        number = self.numbers.pop(path, None)
        if number is None:
            return
        self._alive[number] = False
        words, _ = self._terms.pop(number)
        np.subtract.at(self.document_counts, np.unique(words).astype(np.int64), 1)

    def add_many(
        self, entries: list[tuple[str, str, tuple[int, int] | None, np.ndarray, np.ndarray]]
    ) -> None:
        """Adds pictures (path, key, size, words, signatures) not in the index yet, all at once
        into the main part: what reading a stored index takes."""
        for path, key, size, words, marks in entries:
            number = len(self.keys)
            self.keys.append((key, size))
            self.numbers[path] = number
            self._terms[number] = (words, marks)
        if len(self.keys) > len(self._alive):
            self._alive = np.concatenate([self._alive, np.zeros(len(self.keys), bool)])
        self._alive[: len(self.keys)] = True
        if entries:
            # 4-byte words and numbers: a library's terms are hundreds of millions.
            words = np.concatenate([entry[3] for entry in entries]).astype(np.uint32, copy=False)
            numbers = np.repeat(
                np.arange(len(self.keys) - len(entries), len(self.keys), dtype=np.uint32),
                [len(entry[3]) for entry in entries],
            )
            # A picture's words are sorted (picture_terms): each new word starts a run.
            starts = np.ones(len(words), bool)
            starts[1:] = (words[1:] != words[:-1]) | (numbers[1:] != numbers[:-1])
            del numbers
            self.document_counts += np.bincount(words[starts], minlength=self.vocabulary.count)
            del words, starts
        self._merge()

    def paths(self) -> list[str]:
        return list(self.numbers)

    def _merge(self) -> None:
        """One main part of every live picture's entries (retired numbers dropped). The old
        parts are let go first, and the entries are gathered 4 bytes a value: what a merge
        holds at its peak is about 26 bytes a term beside the terms themselves."""
        self._main, self._added_postings = _Postings.empty(self.vocabulary.count), None
        self._added, self._added_size = [], 0
        parts = list(self._terms.items())
        narrow = np.uint16 if self.vocabulary.count <= 1 << 16 else np.uint32
        words = np.concatenate([terms[0].astype(narrow) for _, terms in parts] or [np.zeros(0, narrow)])
        numbers = np.repeat(
            np.array([number for number, _ in parts], np.uint32), [len(terms[0]) for _, terms in parts]
        )
        marks = np.concatenate([terms[1] for _, terms in parts] or [np.zeros(0, np.uint32)])
        self._main = _Postings(self.vocabulary.count, words, numbers, marks)

    def _parts(self) -> list[_Postings]:
        if not self._added:
            return [self._main]
        if self._added_postings is None:
            parts = [np.concatenate([part[i] for part in self._added]) for i in range(3)]
            self._added_postings = _Postings(self.vocabulary.count, *parts)
        return [self._main, self._added_postings]

    def scores(self, descriptors: np.ndarray) -> np.ndarray:
        """Votes of a crop's descriptors for every picture number (retired ones score 0)."""
        scores = np.zeros(len(self.keys), np.float64)
        if len(descriptors) == 0 or len(self.numbers) == 0:
            return scores
        words = self.vocabulary.words(descriptors)
        marks = signatures(descriptors)
        live = max(1, len(self.numbers))
        telling = self.document_counts[words] <= max(STOP_MIN, STOP_SHARE * live)
        words, marks = words[telling], marks[telling]
        weights = np.log((live + 1) / (self.document_counts[words] + 1))
        for part in self._parts():
            query, pictures, found = part.lookup(words)
            close = _POPCOUNT[np.bitwise_xor(marks[query], found).view(np.uint8).reshape(-1, 4)].sum(axis=1)
            keep = close <= SIGNATURE_DISTANCE
            query, pictures = query[keep], pictures[keep]
            # One vote per crop descriptor and picture.
            pairs = np.unique(query.astype(np.int64) * len(self.keys) + pictures)
            scores += np.bincount(
                pairs % len(self.keys), weights=weights[pairs // len(self.keys)], minlength=len(self.keys)
            )
        scores[~self.alive] = 0.0
        return scores

    def candidates(self, descriptors: np.ndarray, among: list[str], count: int) -> list[str]:
        """The `count` paths of `among` (indexed ones) with the most votes, best first; ties
        keep the order of `among`."""
        numbers = np.array([self.numbers[path] for path in among if path in self.numbers], np.int64)
        paths = [path for path in among if path in self.numbers]
        if len(numbers) == 0:
            return []
        votes = self.scores(descriptors)[numbers]
        order = np.lexsort((np.arange(len(numbers)), -votes))[:count]
        return [paths[position] for position in order if votes[position] > 0]


# ----------------------------------------------------------------------------- on disk

_WORD_SCHEMA = (
    "CREATE TABLE IF NOT EXISTS vocabulary (name TEXT PRIMARY KEY, data BLOB NOT NULL)",
    "CREATE TABLE IF NOT EXISTS picture_terms (path BLOB PRIMARY KEY, file_key TEXT NOT NULL,"
    " width INTEGER, height INTEGER, words BLOB NOT NULL, signatures BLOB NOT NULL)",
    # Bumped by every change, so a process notices that another one changed the index; the
    # token, drawn when the file is made, tells a file made anew at the same path.
    "CREATE TABLE IF NOT EXISTS generation (id INTEGER PRIMARY KEY CHECK (id = 0), value INTEGER NOT NULL,"
    " token BLOB NOT NULL)",
    "INSERT OR IGNORE INTO generation VALUES (0, 0, randomblob(16))",
)
_VOCABULARY = "words"
# Every search reads the whole file into memory anyway, where damage shows as an error.
_WORD_FORMAT = StoreFormat("search_index_tools candidate words 1", _WORD_SCHEMA, check_on_open=False)

# The index last loaded from each file, with the generation it was loaded at: a warm search
# in the same process starts from it instead of reading every picture's terms again.
_LOADED: dict[str, tuple[tuple[Any, ...] | None, CandidateIndex]] = {}


class WordStore(StoreClient):
    """The candidate index of a library, kept in its own SQLite file (one row of terms per
    picture, and the vocabulary) and in memory between searches of one process. Without a
    file (None), or with one that cannot be used, the index lives for one search only. Like
    the feature store, it only ever saves work: errors make it stop using the file."""

    STORE_FORMAT = _WORD_FORMAT

    def __init__(self, file_path: str | None):
        super().__init__(file_path)
        self._path = file_path
        self._generation: tuple[Any, ...] | None = None

    def _give_up(self, error: BaseException, remove: bool = False) -> None:
        # A ValueError comes from a stored value that cannot be decoded: the file is damaged.
        self._store.fail(error, damaged=remove or isinstance(error, ValueError))

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
                return cached[1]
            row = self._db.execute("SELECT data FROM vocabulary WHERE name = ?", (_VOCABULARY,)).fetchone()
            if row is None:
                return None
            index = CandidateIndex(Vocabulary.from_bytes(row[0]))
            import os

            index.add_many(
                [
                    (
                        os.fsdecode(path),
                        key,
                        None if width is None else (width, height),
                        np.frombuffer(words, "<u4").astype(np.uint32),
                        np.frombuffer(marks, "<u4").astype(np.uint32),
                    )
                    for path, key, width, height, words, marks in self._db.execute(
                        "SELECT path, file_key, width, height, words, signatures FROM picture_terms"
                    )
                ]
            )
        except (sqlite3.Error, ValueError) as error:
            self._give_up(
                error,
                remove=isinstance(error, sqlite3.DatabaseError)
                and not isinstance(error, sqlite3.OperationalError),
            )
            return None
        self._generation = generation
        _LOADED[self._path] = (generation, index)
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
                self._db.execute("DELETE FROM picture_terms")
                self._db.execute("INSERT INTO vocabulary VALUES (?, ?)", (_VOCABULARY, vocabulary.to_bytes()))
                self._db.execute("UPDATE generation SET value = value + 1 WHERE id = 0")
                self._generation = self._current_generation()
        except (sqlite3.Error, ValueError) as error:  # ValueError: a stored vocabulary cut short
            self._give_up(error)
        return vocabulary

    def save(self, index: CandidateIndex, added: list[str], removed: list[str]) -> None:
        """Writes the terms of the `added` paths and forgets the `removed` ones."""
        import os
        import sqlite3

        if self._db is None or not self._writable or not (added or removed):
            self._remember(index)
            return
        rows = []
        for path in added:
            number = index.numbers[path]
            key, size = index.keys[number]
            words, marks = index._terms[number]
            rows.append(
                (
                    os.fsencode(path),
                    key,
                    None if size is None else size[0],
                    None if size is None else size[1],
                    words.astype("<u4").tobytes(),
                    marks.astype("<u4").tobytes(),
                )
            )
        try:
            with self._db:
                self._db.execute("BEGIN IMMEDIATE")
                changed_elsewhere = self._current_generation() != self._generation
                self._db.executemany("INSERT OR REPLACE INTO picture_terms VALUES (?, ?, ?, ?, ?, ?)", rows)
                self._db.executemany(
                    "DELETE FROM picture_terms WHERE path = ?", [(os.fsencode(path),) for path in removed]
                )
                self._db.execute("UPDATE generation SET value = value + 1 WHERE id = 0")
                generation = self._current_generation()
        except sqlite3.Error as error:
            self._give_up(error)
            return
        # Another process's changes since this one loaded are read on the next search.
        self._generation = None if changed_elsewhere else generation
        self._remember(index)

    def _remember(self, index: CandidateIndex) -> None:
        if self._path is not None and self._generation is not None:
            _LOADED[self._path] = (self._generation, index)
        elif self._path is not None:
            _LOADED.pop(self._path, None)
