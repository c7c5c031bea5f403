"""The command's three jobs, built from search_index_lib's public functions.

The module's `search_image` and `cropped_search` return bare paths. The command also shows
a score for each path (the distance, the matched keypoints), so it runs the same roads
step by step and keeps what the entry points drop, taking every function from the module's
namespace at the moment of use, as the entry points do.
"""
import os
import time
from dataclasses import dataclass, field
from typing import List, Optional, Tuple

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
    points: Optional[List[Tuple[int, int]]] = None  # crop only: matched positions in the picture
    outline: Optional[Tuple[Tuple[float, float], ...]] = None  # verified crop: the crop's corners
    placed_by: Optional[str] = None  # verified crop: "keypoints" or "pixels"


@dataclass
class Outcome:
    command: str
    query: str
    folder: str
    hits: List[Hit]
    elapsed: float
    verified: bool = False  # crop found by the verified search: scores are consistent matches

    @property
    def placed_by_pixels(self):
        """A verified answer comes whole from one stage; this says it was the pixel stage."""
        return self.verified and any(hit.placed_by == "pixels" for hit in self.hits)

    @property
    def score_name(self):
        if self.placed_by_pixels:
            return PIXEL_SCORE_NAME
        return VERIFIED_SCORE_NAME if self.verified else SCORE_NAMES[self.command]


@dataclass
class IndexSummary:
    folder: str
    indexed: int
    left_out: List[str] = field(default_factory=list)
    elapsed: float = 0.0


def similar(sil, query, folder, progress):
    """search_image's road with the distances kept: index, query vector, nearest rows."""
    import faiss
    import numpy as np

    started = time.monotonic()
    with progress.phase("Indexing"):
        db, all_files = sil.index_a_directory(folder)
    record = sil.ImageData(image_path=query, last_modified=None)
    vector = sil.load_images([record])[0]
    if vector is None or len(vector) == 0:
        raise sil.UnidentifiedImageError(f"cannot identify image file {query!r}")
    # The stored rows are unit vectors; the query is made one too, as search_image does.
    row = np.array([vector]).astype(sil.FLOATTYPE)
    faiss.normalize_L2(row)
    distances, rows = sil.search_images(db, row[0], sil.SEARCH_RESULT_LIMIT)
    # faiss names missing neighbours -1 when the index has fewer rows than asked for.
    found = [(float(distance), int(r)) for distance, r in zip(distances[0], rows[0]) if r >= 0]
    hits = [Hit(rank, all_files[r].image_path, distance)
            for rank, (distance, r) in enumerate(found, 1)]
    return Outcome(SIMILAR, query, folder, hits, time.monotonic() - started)


def crop(sil, crop_path, folder, progress, limit=CROP_RESULT_LIMIT):
    """cropped_search's road with the matched points kept: listing, matching, ranking."""
    started = time.monotonic()
    listing = list(sil.get_images_absolute_path_recursive_a_directory(folder))
    with progress.phase("Matching"):
        positions, matches, kept = sil.live_search_similar_cropped(crop_path, listing, limit)
    hits = []
    for rank, (position, match) in enumerate(zip(positions, matches), 1):
        points = [(int(x), int(y)) for x, y in match.matched_points]
        hits.append(Hit(rank, kept[position].image_path, len(points), points))
    return Outcome(CROP, crop_path, folder, hits, time.monotonic() - started)


def verified_crop(sil, crop_path, folder, progress, limit=CROP_RESULT_LIMIT, workers=None):
    """The verified cropped search: only pictures that really contain the crop, each with the
    crop's outline in it."""
    from .verified_search import verified_cropped_matches

    started = time.monotonic()
    with progress.phase("Matching"):
        matches = verified_cropped_matches(crop_path, folder, limit, processes=workers)
    hits = [Hit(rank, match.path, match.score, outline=match.corners, placed_by=match.placed_by)
            for rank, match in enumerate(matches, 1)]
    return Outcome(CROP, crop_path, folder, hits, time.monotonic() - started, verified=True)


def index(sil, folder, progress):
    """Builds or refreshes the cached index; says which listed pictures gave no vector."""
    started = time.monotonic()
    listing = list(sil.get_images_absolute_path_recursive_a_directory(folder))
    with progress.phase("Indexing"):
        _, rows = sil.index_a_directory(folder)
    indexed = {record.image_path for record in rows}
    left_out = [record.image_path for record in listing if record.image_path not in indexed]
    return IndexSummary(folder, len(rows), left_out, time.monotonic() - started)


def shown_path(path, folder):
    """`path` relative to `folder` when it lies under it, else unchanged."""
    folder = os.path.abspath(folder)
    absolute = os.path.abspath(path)
    if os.path.commonpath([folder, absolute]) == folder and absolute != folder:
        return os.path.relpath(absolute, folder)
    return path
