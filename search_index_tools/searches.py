"""The command's three jobs, built from search_index_lib's public functions.

The module's `search_image` and `cropped_search` return bare paths. The command also shows
a score for each path (the distance, the matched keypoints), so it runs the same roads
step by step and keeps what the entry points drop, taking every function from the module's
namespace at the moment of use, as the entry points do.
"""

from __future__ import annotations

import contextlib
import os
import time
from dataclasses import dataclass, field
from types import ModuleType
from typing import TYPE_CHECKING, Any, cast

from .readable_listing import (
    Unreadable,
    remember_unreadable,
    remembered_unreadable,
    unreadable_folders,
    unreadable_pictures,
    walk_leaving_out,
)

if TYPE_CHECKING:
    import numpy as np

    from .progress import ProgressReporter

SIMILAR, CROP, INDEX = "similar", "crop", "index"
CROP_RESULT_LIMIT = 25  # what cropped_search returns at most
SCORE_NAMES = {SIMILAR: "distance", CROP: "matched keypoints"}
VERIFIED_SCORE_NAME = "consistent matches"
# A verified crop placed by its grey levels (no keypoint stage result): the score is their
# normalised correlation there.
PIXEL_SCORE_NAME = "grey-level correlation"


@dataclass
class Hit:
    rank: int
    path: str
    score: float
    points: list[tuple[int, int]] | None = None  # crop only: matched positions in the picture
    outline: tuple[tuple[float, float], ...] | None = None  # verified crop: the crop's corners
    placed_by: str | None = None  # verified crop: "keypoints" or "pixels"


@dataclass
class Outcome:
    command: str
    query: str
    folder: str
    hits: list[Hit]
    elapsed: float
    verified: bool = False  # crop found by the verified search: scores are consistent matches
    unreadable: Unreadable = field(default_factory=Unreadable)  # left out: could not be read

    @property
    def placed_by_pixels(self) -> bool:
        """A verified answer comes whole from one stage; this says it was the pixel stage."""
        return self.verified and any(hit.placed_by == "pixels" for hit in self.hits)

    @property
    def score_name(self) -> str:
        if self.placed_by_pixels:
            return PIXEL_SCORE_NAME
        return VERIFIED_SCORE_NAME if self.verified else SCORE_NAMES[self.command]


@dataclass
class IndexSummary:
    folder: str
    indexed: int
    left_out: list[str] = field(default_factory=list)  # listed, but not readable as a picture
    elapsed: float = 0.0
    unreadable: Unreadable = field(default_factory=Unreadable)  # could not be read at all


def query_row(sil: ModuleType, query: str) -> np.ndarray[Any, np.dtype[Any]]:
    """The query's unit vector, as search_image makes it; UnidentifiedImageError when the
    file is not a picture. Made before any folder work, so a bad query costs no build."""
    import faiss
    import numpy as np

    record = sil.ImageData(image_path=query, last_modified=None)
    vector = sil.load_images([record])[0]
    if vector is None or len(vector) == 0:
        raise sil.UnidentifiedImageError(f"cannot identify image file {query!r}")
    # The stored rows are unit vectors; the query is made one too, as search_image does.
    row = np.array([vector]).astype(sil.FLOATTYPE)
    faiss.normalize_L2(row)
    return cast("np.ndarray[Any, np.dtype[Any]]", row[0])


def readable_index(
    sil: ModuleType, folder: str, unreadable: dict[str, str] | None = None
) -> tuple[Any, list[Any], dict[str, str]]:
    """index_a_directory(folder), leaving out the pictures that cannot be read instead of
    failing on the first one. `unreadable` ({path: reason}) are left out from the start;
    others are found when a build fails on one. Returns (db, rows, {path: reason}).

    While a picture is left out, the walk the module sees leaves it out, so the cached
    fingerprint describes the pictures indexed: once the picture can be read again, the
    next search finds the folder changed and indexes it."""
    remembered = remembered_unreadable(sil, folder)
    left_out = {**remembered, **(unreadable or {})}
    while True:
        try:
            with walk_leaving_out(sil, left_out) if left_out else contextlib.nullcontext():
                db, rows = _index_keeping_fingerprint(sil, folder)
            remember_unreadable(sil, folder, left_out, remembered)
            return db, rows, left_out
        except OSError as error:
            failed = error.filename
            if not isinstance(failed, str) or failed in left_out:
                raise
            listed = [
                record.image_path for record in sil.get_images_absolute_path_recursive_a_directory(folder)
            ]
            if failed not in listed:
                raise  # not a picture of the folder: the cache, say
            left_out.update(unreadable_pictures(listed))
            left_out[failed] = error.strerror or type(error).__name__


def _index_keeping_fingerprint(sil: ModuleType, folder: str) -> tuple[Any, list[Any]]:
    """index_a_directory, and, when it built the first index file, the folder's fingerprint
    too: the module stores it only when it compares a listing with an index file, so without
    it the next search would find the folder "changed" and build once more."""
    had_index = os.path.exists(sil.CACHED_INDEXED)
    db, rows = sil.index_a_directory(folder)
    if not had_index:
        # The manifest beside the index names the listing it was built from: should the
        # folder have changed since, the next search still rebuilds rather than trust it.
        sil.is_images_in_dir_changed(list(sil.get_images_absolute_path_recursive_a_directory(folder)))
    return db, rows


def similar(
    sil: ModuleType, query: str, folder: str, progress: ProgressReporter, limit: int | None = None
) -> Outcome:
    """search_image's road with the distances kept: query vector, index, nearest rows."""
    started = time.monotonic()
    row = query_row(sil, query)
    unreadable = Unreadable(folders=unreadable_folders(folder))
    with progress.phase("Indexing"):
        db, all_files, left_out = readable_index(sil, folder)
    unreadable.pictures = sorted(left_out.items())
    # More neighbours than rows would only add fillers, after allocating room for them.
    wanted = sil.SEARCH_RESULT_LIMIT if limit is None else limit
    if isinstance(wanted, int) and not isinstance(wanted, bool):
        wanted = min(wanted, max(int(db.ntotal), 1))
    distances, rows = sil.search_images(db, row, wanted)
    # faiss names missing neighbours -1 when the index has fewer rows than asked for.
    found = [(float(distance), int(r)) for distance, r in zip(distances[0], rows[0]) if r >= 0]
    hits = [Hit(rank, all_files[r].image_path, distance) for rank, (distance, r) in enumerate(found, 1)]
    return Outcome(SIMILAR, query, folder, hits, time.monotonic() - started, unreadable=unreadable)


def readable_pictures(sil: ModuleType, folder: str) -> tuple[list[Any], Unreadable]:
    """The folder's picture records that can be read, and what could not be."""
    listing = list(sil.get_images_absolute_path_recursive_a_directory(folder))
    unreadable = Unreadable(
        unreadable_pictures([record.image_path for record in listing]), unreadable_folders(folder)
    )
    left_out = {path for path, _ in unreadable.pictures}
    return [record for record in listing if record.image_path not in left_out], unreadable


def crop(
    sil: ModuleType, crop_path: str, folder: str, progress: ProgressReporter, limit: int = CROP_RESULT_LIMIT
) -> Outcome:
    """cropped_search's road with the matched points kept: listing, matching, ranking."""
    started = time.monotonic()
    listing, unreadable = readable_pictures(sil, folder)
    with progress.phase("Matching"):
        positions, matches, kept = sil.live_search_similar_cropped(
            crop_path, listing, min(limit, len(listing))
        )
    hits: list[Hit] = []
    for rank, (position, match) in enumerate(zip(positions, matches), 1):
        points = [(int(x), int(y)) for x, y in match.matched_points]
        hits.append(Hit(rank, kept[position].image_path, len(points), points))
    return Outcome(CROP, crop_path, folder, hits, time.monotonic() - started, unreadable=unreadable)


def verified_crop(
    sil: ModuleType,
    crop_path: str,
    folder: str,
    progress: ProgressReporter,
    limit: int = CROP_RESULT_LIMIT,
    workers: int | None = None,
) -> Outcome:
    """The verified cropped search: only pictures that really contain the crop, each with the
    crop's outline in it."""
    from .verified import verified_cropped_matches

    started = time.monotonic()
    listing, unreadable = readable_pictures(sil, folder)
    with progress.phase("Matching"), walk_leaving_out(sil, [path for path, _ in unreadable.pictures]):
        matches = verified_cropped_matches(crop_path, folder, min(limit, len(listing)), processes=workers)
    hits = [
        Hit(rank, match.path, match.score, outline=match.corners, placed_by=match.placed_by)
        for rank, match in enumerate(matches, 1)
    ]
    return Outcome(
        CROP, crop_path, folder, hits, time.monotonic() - started, verified=True, unreadable=unreadable
    )


def index(sil: ModuleType, folder: str, progress: ProgressReporter) -> IndexSummary:
    """Builds or refreshes the cached index; says which listed pictures gave no vector."""
    started = time.monotonic()
    readable, unreadable = readable_pictures(sil, folder)
    with progress.phase("Indexing"):
        _, rows, left_out = readable_index(sil, folder, dict(unreadable.pictures))
    unreadable.pictures = sorted(left_out.items())
    indexed = {record.image_path for record in rows}
    not_pictures = [
        record.image_path
        for record in readable
        if record.image_path not in indexed and record.image_path not in left_out
    ]
    return IndexSummary(folder, len(rows), not_pictures, time.monotonic() - started, unreadable)


def shown_path(path: str, folder: str) -> str:
    """`path` relative to `folder` when it lies under it, else unchanged."""
    folder = os.path.abspath(folder)
    absolute = os.path.abspath(path)
    if os.path.commonpath([folder, absolute]) == folder and absolute != folder:
        return os.path.relpath(absolute, folder)
    return path
