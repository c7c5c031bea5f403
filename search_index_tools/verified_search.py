"""Verified cropped search: which pictures of a folder really contain a crop, and where.

Every picture's ORB features are matched with the crop's; the matches that pass a ratio
test must then agree on one similarity transform (rotation, uniform scale and shift) from
crop to picture, fitted with OpenCV's RANSAC estimator. Pictures are ranked by how many
matches agree. A picture with fewer than MIN_INLIERS, or whose fitted outline of the crop
does not lie inside it, is no result at all, so a crop that is in no picture of the folder
gives an empty answer.

Picture features are kept in a SQLite store beside the similarity index
(CACHED_INDEXED + ".verified.sqlite"), so a second search of the same folder only reads
the crop. The per-picture matching and verification run in the native module
search_index_tools._verified_match.
"""
from __future__ import annotations

import errno
import multiprocessing
import os
from concurrent.futures import ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from typing import Iterable, Iterator, NamedTuple, Optional

from . import _verified_match
from .verified_cache import FeatureCache
from .verified_features import (FeatureSettings, Features, FileIdentity, ReadResult,
                                 features_from_bytes, picture_features, read_regular_file)

PICTURE_SETTINGS = FeatureSettings(features=3000, candidates=10000, cell=48, work_side=960, levels=8,
                                   fast_threshold=5)
CROP_SETTINGS = FeatureSettings(features=1000, candidates=5000, cell=24, work_side=960, levels=12,
                                fast_threshold=5, border=31, enlarge_below=160)

RATIO = 0.8
MIN_INLIERS = 5
REPROJECTION_THRESHOLD = 4.0  # pixels of the picture's working size
MAX_ITERATIONS = 2000
CONFIDENCE = 0.995
MIN_OUTLINE_SIDE = 8.0  # pixels of the picture's working size
# The crop's fitted outline must lie inside the picture, give or take this share of its longer
# side; this, not a high minimum of matches, is what keeps foreign crops from being answered.
OUTLINE_MARGIN = 0.05

STORE_SUFFIX = ".verified.sqlite"
# Up to this many pictures to read are read in the calling process: starting a pool would
# cost more than it saves.
IN_PROCESS_LIMIT = 2
_CHUNK = 4  # pictures a worker takes at a time
_STORE_BATCH = 32  # pictures stored per transaction


class VerifiedMatch(NamedTuple):
    """One picture that contains the crop."""

    path: str
    score: int  # matches consistent with the fitted transform
    corners: tuple  # crop's outline in the picture's pixels: ((x, y) * 4) from top-left, clockwise


def verified_cropped_search(crop_path, folder, max_return: int = 25, **options) -> list[str]:
    """Paths of the pictures under `folder` that contain the crop at `crop_path`, best first."""
    return [match.path for match in verified_cropped_matches(crop_path, folder, max_return, **options)]


def verified_cropped_matches(crop_path, folder, max_return: int = 25, *,
                             mp_context=None, use_store: bool = True) -> list[VerifiedMatch]:
    """The pictures under `folder` that contain the crop, best first, at most `max_return`,
    each with its score and the crop's outline in it.

    Raises FileNotFoundError when the crop does not exist and ValueError when it is not a
    picture that can be read. Pictures of the folder that cannot be read are left out.
    `mp_context` chooses the start method of the worker pool (default: multiprocessing's);
    `use_store=False` leaves the feature store alone.
    """
    crop_path = _path_argument(crop_path, "crop_path")
    folder = _path_argument(folder, "folder")
    if type(max_return) is not int:
        raise TypeError(f"max_return must be an int, not {type(max_return).__name__}")
    if max_return < 0:
        raise ValueError(f"max_return must not be negative, got {max_return}")
    crop = _crop_features(crop_path)

    import search_index_lib  # the host's settings and folder walk, as they are now

    listing = [record.image_path for record in
               search_index_lib.get_images_absolute_path_recursive_a_directory(folder)]
    store = FeatureCache(str(search_index_lib.CACHED_INDEXED) + STORE_SUFFIX if use_store else None)
    try:
        found = {}
        for path, features in _listing_features(listing, store, mp_context):
            placement = _verify(crop, features)
            if placement is not None:
                found[path] = placement
        store.prune(folder, listing)
    finally:
        store.close()
    matches = [VerifiedMatch(path, *found[path]) for path in listing if path in found]
    # sorted() is stable: equal scores keep the listing order.
    return sorted(matches, key=lambda match: match.score, reverse=True)[:max_return]


def _path_argument(value, name: str) -> str:
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str or path-like object giving a str, not {type(value).__name__}")
    return str(value)


def _crop_features(crop_path: str) -> Features:
    if not os.path.exists(crop_path):
        raise FileNotFoundError(errno.ENOENT, "No such crop image file", crop_path)
    read = read_regular_file(crop_path)
    features = None if read is None else features_from_bytes(read[0], CROP_SETTINGS)
    if features is None:
        raise ValueError(f"Cannot read the crop image file {crop_path!r}: it is not a regular file "
                         f"holding a picture that can be decoded within the pixel limit")
    return features


def _verify(crop: Features, picture: Optional[Features]):
    if picture is None:
        return None
    return _verified_match.verify_picture(
        crop.points, crop.descriptors, (crop.work_width, crop.work_height),
        picture.points, picture.descriptors, (picture.work_width, picture.work_height), picture.scale,
        ratio=RATIO, min_inliers=MIN_INLIERS, reprojection_threshold=REPROJECTION_THRESHOLD,
        max_iterations=MAX_ITERATIONS, confidence=CONFIDENCE, min_side=MIN_OUTLINE_SIDE,
        margin_share=OUTLINE_MARGIN)


def _identity(path: str) -> Optional[FileIdentity]:
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None
    return FileIdentity(status.st_size, status.st_mtime_ns)


def _listing_features(listing: list[str], store: FeatureCache,
                      mp_context) -> Iterator[tuple[str, Optional[Features]]]:
    """(path, features or None) for every readable listed picture: stored ones first, then
    the others as the workers finish them; new features are stored on the way."""
    settings_key = PICTURE_SETTINGS.key()
    to_read = []
    for path in listing:
        identity = _identity(path) if store.active else None
        stored = store.lookup(path, identity, settings_key) if identity is not None else None
        if stored is None:
            to_read.append(path)
        else:
            yield path, stored.features
    batch: list[tuple[str, ReadResult]] = []
    for item in _read_pictures(to_read, mp_context):
        if item is None:
            continue
        batch.append(item)
        if len(batch) >= _STORE_BATCH:
            store.store(batch, settings_key)
            batch = []
        yield item[0], item[1].features
    store.store(batch, settings_key)


def _read_pictures(paths: list[str], mp_context) -> Iterable[Optional[tuple[str, ReadResult]]]:
    jobs = [(path, PICTURE_SETTINGS) for path in paths]
    if len(jobs) <= IN_PROCESS_LIMIT:
        yield from map(picture_features, jobs)
        return
    context = mp_context if mp_context is not None else _default_context()
    workers = min(len(jobs), _pool_size())
    executor = ProcessPoolExecutor(max_workers=workers, mp_context=context)
    try:
        yield from executor.map(picture_features, jobs, chunksize=_CHUNK)
    except BrokenProcessPool as error:
        # The pool notices a worker that died (killed, or crashed in a decoder) and fails
        # the outstanding pictures instead of waiting for them forever.
        raise RuntimeError("A worker process of the verified cropped search ended unexpectedly; "
                           "the pictures read so far are kept in the feature store") from error
    finally:
        executor.shutdown(wait=True, cancel_futures=True)


def _default_context():
    """multiprocessing's default start method, except fork. This process runs ORB itself (the
    crop, small folders), and a child forked after that can wait forever inside OpenCV for the
    parent's worker threads, which it does not have; a forkserver child starts clean."""
    context = multiprocessing.get_context()
    if context.get_start_method() == "fork" and "forkserver" in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("forkserver")
    return context


def _pool_size() -> int:
    """One processor is left to the caller, which verifies while the workers read; at most five."""
    count = os.cpu_count() or 2
    return max(1, min(count - 1, 5))
