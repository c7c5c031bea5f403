"""What a duplicate scan decided, kept in the duplicate store beside the reads, so that the
next scan of the same folders spends nothing on the pictures that did not change.

Three kinds of decision are kept, each keyed by the pictures' tokens (a digest of the path,
the file's identity and the thumbnail settings: a changed file is a new picture) and by
grouping.COMPARISON_VERSION (candidate lists and results by grouping.search_key(), which holds
it and the search's settings):

- candidate lists, per set of scanned folders (a picture's nearest neighbours depend on every
  other picture scanned with it): each picture's coarse vector and its neighbours with their
  transforms and scores, as the neighbour search returned them;
- verdicts, per ordered pair of pictures, set of candidate transforms and similarity
  threshold: whether the pair is the same picture, and how it fits;
- relations of a group member to its keeper: the distance and transform a listing shows.

Beside them, the last result of every set of folders (its pictures' digest and the pairs
found) answers an unchanged folder with one query. The tables follow the store's rules: an
error stops their use (the scan then decides again), never the scan.
"""

from __future__ import annotations

import hashlib
import sqlite3
from collections.abc import Iterable
from typing import NamedTuple

import numpy as np

from ..file_identity import FileIdentity
from . import grouping
from .store import PictureStore, path_key, settings_key

# The pairs of a kept result, as stored.
PAIR_RECORD = np.dtype(
    [
        ("first", "<i8"),
        ("second", "<i8"),
        ("transform", "u1"),
        ("similarity", "<f8"),
        ("cropped", "u1"),
        ("plain", "u1"),
    ]
)


def picture_token(path: str, identity: FileIdentity) -> int:
    """A 64-bit name for this picture as it is now: the same path and identity (so the same
    bytes) read with the same settings."""
    text = path_key(path) + b"\0" + repr(tuple(identity)).encode() + b"\0" + settings_key().encode()
    return int.from_bytes(hashlib.blake2b(text, digest_size=8).digest(), "little", signed=True)


def scope_of(folders: Iterable[str]) -> str:
    """The set of folders scanned together, as a key (order and repeats do not matter)."""
    return "\0".join(sorted(set(folders)))


def list_scope(scope: str) -> str:
    """The name the candidate lists of `scope` are kept under: a digest, since a scope names
    every folder scanned and a list row holding all of them would spill onto a page of its
    own (most of 10 KB written per picture instead of under 1 KB)."""
    digest = hashlib.blake2b(scope.encode("utf-8", "surrogatepass"), digest_size=16).hexdigest()
    return f"lists:{digest}"


def verdict_key(threshold: float) -> str:
    return f"{threshold!r}:v{grouping.COMPARISON_VERSION}"


def digest_of(tokens: Iterable[int]) -> bytes:
    ordered = np.sort(np.fromiter(tokens, dtype=np.int64))
    return hashlib.blake2b(
        ordered.tobytes() + f"v{grouping.COMPARISON_VERSION}:{grouping.search_key()}".encode(),
        digest_size=16,
    ).digest()


class CandidateList(NamedTuple):
    """One picture's neighbours: the token of each neighbour's picture, the transform of the
    neighbour's row and its score, best first, as the search ranked them."""

    plain: bool
    vector: np.ndarray  # float32, the picture's own vector for the search
    neighbours: np.ndarray  # int64 tokens
    transforms: np.ndarray  # uint8
    scores: np.ndarray  # float32


class Verdict(NamedTuple):
    same: bool
    transform: int
    similarity: float
    cropped: bool


class KeptDecisions:
    """The kept decisions of one store; inactive (keeps nothing, finds nothing) without one."""

    def __init__(self, store: PictureStore):
        self._store = store

    def _db(self, writing: bool = False) -> sqlite3.Connection | None:
        """The store's connection (its format holds these tables), None without one or, when
        `writing`, while the store may only be read."""
        db = self._store.connection
        if db is None or (writing and not self._store.writable):
            return None
        return db

    @property
    def active(self) -> bool:
        return self._store.connection is not None

    def scope_result(self, scope: str, threshold: float, digest: bytes) -> np.ndarray | None:
        """The pairs found by the last scan of `scope` when its pictures were these."""
        db = self._db()
        if db is None:
            return None
        try:
            row = db.execute(
                "SELECT digest, pairs FROM scope_results WHERE scope = ? AND key = ?",
                (scope, verdict_key(threshold)),
            ).fetchone()
        except sqlite3.Error as error:
            self._store.failed(error)
            return None
        if (
            row is None
            or row[0] != digest
            or not isinstance(row[1], bytes)
            or len(row[1]) % PAIR_RECORD.itemsize
        ):
            return None
        return np.frombuffer(row[1], dtype=PAIR_RECORD)

    def candidate_lists(self, scope: str) -> dict[int, CandidateList]:
        db = self._db()
        if db is None:
            return {}
        found = {}
        try:
            for token, plain, vector, neighbours, transforms, scores in db.execute(
                "SELECT token, plain, vector, neighbours, transforms, scores FROM candidate_lists"
                " WHERE scope = ? AND version = ?",
                (list_scope(scope), grouping.search_key()),
            ):
                kept = _candidate_list(plain, vector, neighbours, transforms, scores)
                if kept is not None:
                    found[token] = kept
        except sqlite3.Error as error:
            self._store.failed(error)
            return {}
        return found

    def keep_scan(
        self,
        scope: str,
        lists: dict[int, CandidateList],
        gone: Iterable[int],
        threshold: float,
        digest: bytes,
        pairs: np.ndarray,
        more: Iterable[tuple[str, dict[int, CandidateList], Iterable[int]]] = (),
    ) -> None:
        """Keeps the lists that changed, forgets those of pictures gone and keeps the result, all
        at once: the lists kept for a scope are always those of one scan, which is what lets
        the next scan tell the pictures new since then. `more` holds the (scope, lists, gone)
        of the scan's other searches, kept in the same transaction."""
        every = [(scope, lists, list(gone))] + [(name, kept, list(left)) for name, kept, left in more]
        named = {name: list_scope(name) for name, _, _ in every}
        version = grouping.search_key()
        self._write(
            [
                # Lists an older version kept under the scope's whole name go at the first scan.
                ("DELETE FROM candidate_lists WHERE scope = ?", [(name,) for name, _, _ in every]),
                (
                    "DELETE FROM candidate_lists WHERE scope = ? AND token = ?",
                    [(named[name], token) for name, _, left in every for token in left],
                ),
                (
                    "INSERT OR REPLACE INTO candidate_lists VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                    in_key_order(
                        (
                            named[name],
                            token,
                            version,
                            int(kept.plain),
                            # No copy where a list is already in the stored type.
                            kept.vector.astype("<f4", copy=False).tobytes(),
                            kept.neighbours.astype("<i8", copy=False).tobytes(),
                            kept.transforms.astype("u1", copy=False).tobytes(),
                            kept.scores.astype("<f4", copy=False).tobytes(),
                        )
                        for name, changed, _ in every
                        for token, kept in changed.items()
                    ),
                ),
                (
                    "INSERT OR REPLACE INTO scope_results VALUES (?, ?, ?, ?)",
                    [(scope, verdict_key(threshold), digest, pairs.astype(PAIR_RECORD).tobytes())],
                ),
            ]
        )

    def verdicts(self, threshold: float) -> dict[tuple[int, int, int], Verdict]:
        db = self._db()
        if db is None:
            return {}
        found = {}
        try:
            for first, second, transforms, same, transform, similarity, cropped in db.execute(
                "SELECT first, second, transforms, same, transform, similarity, cropped FROM verdicts"
                " WHERE key = ?",
                (verdict_key(threshold),),
            ):
                if transform in range(8) and isinstance(similarity, float):
                    found[(first, second, transforms)] = Verdict(
                        bool(same), transform, similarity, bool(cropped)
                    )
        except sqlite3.Error as error:
            self._store.failed(error)
            return {}
        return found

    def keep_verdicts(self, threshold: float, verdicts: dict[tuple[int, int, int], Verdict]) -> None:
        key = verdict_key(threshold)
        self._write(
            [
                (
                    "INSERT OR REPLACE INTO verdicts VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                    # As they come: rows this small are inserted as fast in any order, and
                    # ordering them would cost more than it saves.
                    [
                        (
                            first,
                            second,
                            transforms,
                            key,
                            int(verdict.same),
                            verdict.transform,
                            verdict.similarity,
                            int(verdict.cropped),
                        )
                        for (first, second, transforms), verdict in verdicts.items()
                    ],
                ),
            ]
        )

    def relations(self) -> dict[tuple[int, int], tuple[float, str]]:
        db = self._db()
        if db is None:
            return {}
        try:
            return {
                (keeper, member): (distance, transform)
                for keeper, member, distance, transform in db.execute(
                    "SELECT keeper, member, distance, transform FROM relations WHERE version = ?",
                    (grouping.COMPARISON_VERSION,),
                )
                if isinstance(distance, float) and isinstance(transform, str)
            }
        except sqlite3.Error as error:
            self._store.failed(error)
            return {}

    def keep_relations(self, relations: dict[tuple[int, int], tuple[float, str]]) -> None:
        self._write(
            [
                (
                    "INSERT OR REPLACE INTO relations VALUES (?, ?, ?, ?, ?)",
                    [
                        (keeper, member, grouping.COMPARISON_VERSION, distance, transform)
                        for (keeper, member), (distance, transform) in relations.items()
                    ],
                )
            ]
        )

    def prune(self) -> None:
        """Forgets verdicts and relations of pictures no kept candidate list names any more,
        and decisions of other versions."""
        self._write(
            [
                ("DELETE FROM candidate_lists WHERE version != ?", [(grouping.search_key(),)]),
                ("DELETE FROM relations WHERE version != ?", [(grouping.COMPARISON_VERSION,)]),
                ("DELETE FROM verdicts WHERE key NOT LIKE ?", [(f"%:v{grouping.COMPARISON_VERSION}",)]),
                ("CREATE TEMP TABLE IF NOT EXISTS kept_tokens (token INTEGER PRIMARY KEY)", [()]),
                ("DELETE FROM kept_tokens", [()]),
                ("INSERT OR IGNORE INTO kept_tokens SELECT token FROM candidate_lists", [()]),
                ("DELETE FROM verdicts WHERE first NOT IN kept_tokens OR second NOT IN kept_tokens", [()]),
                ("DELETE FROM relations WHERE keeper NOT IN kept_tokens OR member NOT IN kept_tokens", [()]),
            ]
        )

    def _write(self, statements: list[tuple[str, list[tuple[object, ...]]]]) -> None:
        """Runs the statements, each for each of its rows, in one transaction."""
        if not any(rows for _, rows in statements):
            return
        db = self._db(writing=True)
        if db is None:
            return
        try:
            with db:
                db.execute("BEGIN IMMEDIATE")
                for statement, rows in statements:
                    if rows:
                        db.executemany(statement, rows)
        except sqlite3.Error as error:
            self._store.failed(error)


def in_key_order(rows: Iterable[tuple[object, ...]], width: int = 2) -> list[tuple[object, ...]]:
    """The rows ordered by their first `width` columns, the table's key (the order SQLite keeps
    them in: whole numbers by value, text and bytes byte by byte). Inserted in that order they
    are appended to the table's tree instead of splitting its pages all over: a first scan
    inserts tens of thousands of rows at a time. The order is stable, so of two rows with one
    key the later still replaces the earlier, and the table ends as it would otherwise."""
    return sorted(rows, key=lambda row: row[:width])


def _candidate_list(
    plain: object, vector: object, neighbours: object, transforms: object, scores: object
) -> CandidateList | None:
    """The list as stored, or None (a miss) when it does not hold together."""
    if not all(isinstance(blob, bytes) for blob in (vector, neighbours, transforms, scores)):
        return None
    assert isinstance(vector, bytes) and isinstance(neighbours, bytes)
    assert isinstance(transforms, bytes) and isinstance(scores, bytes)
    count = len(transforms)
    if len(vector) % 4 or len(neighbours) != 8 * count or len(scores) != 4 * count:
        return None
    moves = np.frombuffer(transforms, dtype=np.uint8)
    if count and int(moves.max()) > 7:
        return None
    return CandidateList(
        bool(plain),
        np.frombuffer(vector, dtype="<f4"),
        np.frombuffer(neighbours, dtype="<i8"),
        moves,
        np.frombuffer(scores, dtype="<f4"),
    )
