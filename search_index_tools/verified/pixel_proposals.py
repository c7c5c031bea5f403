"""The pixel stage in a library too large to scan every picture's coarse thumbnail.

The pixel index (pixel_index) ranks the pictures by how well the crop's coarse grey levels
could fit them, and the thumbnails are scanned in that order, a batch at a time, until no
picture left unscanned could enter the few spots the pixel stage refines: twice a picture's
index score, plus INDEX_SLACK, bounds its coarse-scan score, so once the weakest of those spots
scores above that bound for the best picture not scanned, the spots refined (and so the answer
and every guard against ambiguous fits) are those a scan of every picture would give. When
that is not reached within MOST_SCANNED pictures, the pixel stage gives no answer: a miss,
never an answer that a picture left unscanned might have contradicted.
"""

from __future__ import annotations

import os
from collections.abc import Callable

import numpy as np

from .pixel_index import PixelIndex, crop_vectors, picture_vectors
from .pixel_index_store import PixelIndexStore
from .pixels import PixelSearch

# Pictures scanned first; each next batch doubles what was scanned, up to MOST_SCANNED. At most
# 64: among 20,000 pictures 64 gave the very answers of 256, and the coarse scan costs about
# 10 ms a thumbnail (crops that reach the pixel stage: 0.7-1.5 s warm at 64, 2.6-5.4 s at 256).
FIRST_SCANNED = 64
MOST_SCANNED = 64
# How far a picture's best coarse-scan score can lie above twice its index score (the index
# averages the windows to 4 x 4 cells and holds them at half-window steps, so a spot between
# two windows, or of a size between theirs, scores higher on the scan than on the index).
# Measured over 103 edited crops against 163 real photographs: up to 0.92 for a picture among
# the six best coarse spots.
INDEX_SLACK = 0.92
# A coarse-scan score is a grey-level correlation plus a structure correlation: at most 2.
MAX_COARSE_SCORE = 2.0


def up_to_date(
    store: PixelIndexStore,
    usable: list[str],
    key_of: Callable[[str], str],
    coarse_of: Callable[[list[str]], dict[str, np.ndarray | None]],
    folder: str,
) -> PixelIndex:
    """The stored pixel index with an entry for every usable picture of the folder under its
    current file key (new or changed pictures described from their coarse thumbnails, got from
    `coarse_of`), and none for pictures of the folder that are no longer usable."""
    index = store.load()
    stale = [path for path in usable if index.key(path) != key_of(path)]
    added = []
    for path, coarse in coarse_of(stale).items():
        if coarse is not None:
            index.put(path, key_of(path), picture_vectors(coarse))
            added.append(path)
    prefix = os.path.join(os.path.abspath(folder), "")
    listed = set(usable)
    removed = [path for path in index.paths() if path.startswith(prefix) and path not in listed]
    for path in removed:
        index.remove(path)
    store.save(index, added, removed)
    return index


class DamagedEntries(Exception):
    """Stored vectors of pictures about to be scanned no longer match their checksums: the
    index's order cannot be trusted for this search."""

    def __init__(self, paths: list[str]) -> None:
        super().__init__(f"{len(paths)} damaged pixel-index entries")
        self.paths = paths


def bounded_scan(
    pixels: PixelSearch,
    scan: Callable[[list[str]], None],
    index: PixelIndex,
    usable: list[str],
    first: int | None = None,
    most: int | None = None,
    slack: float | None = None,
    hopeless_unscanned: bool = True,
) -> bool:
    """Scans (`scan`) the usable pictures in the order of their index scores until no picture
    left could enter the spots the pixel stage refines; True when that was reached (or every
    picture was scanned), False when `most` were scanned first, or at once, with nothing
    scanned, when `hopeless_unscanned` and the scores show that `most` could not be enough.
    Raises DamagedEntries, scanning nothing, when a stored entry it could scan is damaged."""
    # The settings are read at the call: a caller (or a benchmark) may have changed them.
    first = FIRST_SCANNED if first is None else first
    most = MOST_SCANNED if most is None else most
    slack = INDEX_SLACK if slack is None else slack
    queries = crop_vectors(pixels.crop_grey, pixels.settings)
    # No spot scores above MAX_COARSE_SCORE: when more than `most` pictures have a bound that
    # high, no scan of `most` pictures can settle, and none is made (often seen in the first
    # chunk of pictures scored).
    hopeless = (MAX_COARSE_SCORE - slack) / 2.0
    if hopeless_unscanned and len(usable) > most and index.at_least(queries, usable, hopeless, most + 1):
        return False
    scores = index.scores(queries, usable)
    # Stable: equal scores keep the listing order.
    ranked = np.argsort(-scores, kind="stable")
    damaged = index.damaged([usable[number] for number in ranked[:most]])
    if damaged:
        raise DamagedEntries(damaged)
    done, batch = 0, first
    while True:
        scan([usable[number] for number in ranked[done : done + batch]])
        done = min(len(usable), done + batch)
        if done == len(usable):
            return True
        bound = 2.0 * float(scores[ranked[done]]) + slack
        if pixels.refined_floor() > bound:
            return True
        if done >= most:
            return False
        batch = min(done, most - done)
