"""Verified cropped search: which pictures of a folder really contain a crop, and where.

Every picture's ORB features are matched with the crop's; the matches that pass a ratio
test must then agree on one similarity transform (rotation, uniform scale and shift) from
crop to picture, fitted with OpenCV's RANSAC estimator. Pictures are ranked by how many
matches agree. A picture with fewer than MIN_INLIERS (or three, when the crop's pixels then
agree closely: a small crop; almost perfectly: a larger one), or whose fitted outline of the
crop does not lie inside it, is no result at all, so a crop that is in no picture of the
folder gives an empty answer.

When no picture passes that way (smooth pictures give ORB too few keypoints), the crop is
placed by its grey levels instead (the `pixels` module): such results say so in their
`placed_by`, and their score is a grey-level correlation rather than a count of matches.
Results of the two stages are never mixed in one answer: the keypoint stage's answer, when it
has one, is returned as it is.

In a folder of more than CANDIDATES pictures, not every picture is verified: an inverted index
over quantised descriptors (candidates) proposes the few that the crop's descriptors
vote for, and only those are verified; when none holds the crop, the next ones up to
FALLBACK_CANDIDATES are, and then the few that the crop's coarse grey levels fit best (the
pixel stage's scan, a signal independent of the words). A placement by keypoints is kept
only when the picture's pixels under the fitted outline correlate with the crop's
(placement): a chance fit does not.

Picture features are kept in a SQLite store beside the similarity index
(CACHED_INDEXED + ".verified.sqlite"), so a second search of the same folder only reads
the crop. The per-picture matching, verification and template scans run in the native module
search_index_tools.verified._verified_match.
"""

from __future__ import annotations

import errno
import multiprocessing
import os
from collections.abc import Iterable, Iterator
from typing import Any, NamedTuple, Union

import numpy as np
from PIL import Image

from .. import formats, pixel_limit
from ..file_identity import FileIdentity, file_identity, read_regular_file
from ..pool_watch import ignore_interrupts, watched_imap
from . import _verified_match, pixel_proposals, reading_pool
from . import candidates as verified_candidates
from . import pixels as verified_pixels
from . import placement as verified_placement
from .cache import FeatureCache
from .candidates import WordStore
from .features import (
    Features,
    FeatureSettings,
    ReadResult,
    Thumbnails,
    decode_grey,
    features_from_grey,
    picture_features,
    single_threaded_opencv,
)
from .pixel_index_store import PixelIndexStore
from .pixels import THUMBNAIL_SETTINGS

PICTURE_SETTINGS = FeatureSettings(
    features=3000, candidates=10000, cell=48, work_side=960, levels=8, fast_threshold=5
)
CROP_SETTINGS = FeatureSettings(
    features=1000,
    candidates=5000,
    cell=24,
    work_side=960,
    levels=12,
    fast_threshold=5,
    border=31,
    enlarge_below=160,
)

RATIO = 0.8
# Consistent matches a keypoint placement needs before its pixels are compared. Four: the
# pixel comparison under the fitted outline (below) is what keeps chance fits out, and a small
# or heavily recompressed crop often keeps only four good matches with its picture.
MIN_INLIERS = 4
# A crop whose shorter side is below this many pixels (the size below which its keypoints are
# found on an enlarged copy) has few pixels to match: a crop a few dozen pixels across keeps
# as few as three good matches with the very picture it was cut from. For such a crop one
# match more than a similarity transform needs is enough to compare pixels; for a larger
# crop, three consistent matches out of its many keypoints are more often a sign of chance
# than of a sighting, and its pixels must then agree almost perfectly (below).
SMALL_CROP_SIDE = CROP_SETTINGS.enlarge_below
MIN_INLIERS_SMALL_CROP = 3
REPROJECTION_THRESHOLD = 4.0  # pixels of the picture's working size
MAX_ITERATIONS = 2000
CONFIDENCE = 0.995
MIN_OUTLINE_SIDE = 8.0  # pixels of the picture's working size
# The crop's fitted outline must lie inside the picture, give or take this share of its longer
# side; this, not a high minimum of matches, is what keeps foreign crops from being answered.
OUTLINE_MARGIN = 0.05
# A placement is kept only when the picture's grey levels under the fitted outline correlate
# at least this well with the crop's (chance fits give about 0, sightings 0.8 and more) ...
MIN_PLACED_CORRELATION = 0.5
# ... or, where the outline is too small on the thumbnail to compare, with this many
# consistent matches.
MIN_INLIERS_UNSAMPLED = 12
# A small crop's placement on fewer than MIN_INLIERS consistent matches is barely checked by
# the matches: a chance fit of three look-alike keypoints lands on a spot that looks somewhat
# like the crop more often than a random one does. Its pixels must agree closely, the grey
# levels and their structure once a fitted plane is taken from both (a smooth crop
# correlates with any slope of its direction, not with the slope's bends and blobs).
MIN_FEW_INLIERS_AGREEMENT = 0.9
# A larger crop placed on three consistent matches (its keypoints quantised alike in a smooth
# or starry region, where few survive the ratio test) is kept only when its pixels agree
# almost perfectly, grey levels and structure alike: chance fits of three matches over
# foreign crops of real photographs reached 0.987 and 0.968, a sighting 0.999 and 0.995.
MIN_INLIERS_LARGE_CROP = 3
MIN_FEW_INLIERS_LARGE_AGREEMENT = 0.99

STORE_SUFFIX = ".verified.sqlite"
# Entries are made with these settings; a change of either part makes every stored entry stale.
STORE_KEY = PICTURE_SETTINGS.key() + "|" + THUMBNAIL_SETTINGS.key()

# Libraries of more pictures than this are searched through the candidate index: the crop's
# descriptors vote for pictures, and only the CANDIDATES best-voted ones are verified; when
# none of them holds the crop, the next ones up to FALLBACK_CANDIDATES are.
CANDIDATES = 8
FALLBACK_CANDIDATES = 64
# When none of those holds the crop, the pictures the crop's coarse grey levels fit best (the
# pixel stage's scan) are verified too, this many of them.
SECOND_LOOK = 8
WORDS_SUFFIX = ".verified-words.sqlite"
# The pixel stage scans every picture's thumbnail (about 1 ms each, and a read from the store):
# in libraries larger than this it scans only the pictures the pixel index proposes
# (pixel_proposals; the index is kept in its own file), as PIXEL_INDEX_ROAD says:
# - "unbounded" (the default): it answers from the proposed pictures (at most
#   pixel_proposals.MOST_SCANNED). Its placements must pass the acceptance bars of a library
#   of all the usable pictures, not of the few scanned (PixelSettings.among): the proposals
#   were picked out of them all, and so were the chance fits among them. Measured among
#   20,000 pictures it places many more smooth crops, none of them in another picture, and
#   no crop of a picture outside the library (with the bars of the few scanned it placed one);
# - "bounded": it answers only once no picture left unscanned could change its answer. Sound,
#   but the bound is seldom met (see pixel_proposals), so this road finds next to nothing more;
# - "off": it does not run, and a crop without keypoints to place it finds nothing (and no
#   pixel index is made or kept).
# The other roads keep the index (pixel_index_store: 15.9 KB a picture on disk, read through a
# memory map) up to date file by file.
PIXEL_STAGE_LIMIT = 5000
PIXEL_INDEX_ROAD = "unbounded"
PIXEL_INDEX_ROADS = ("off", "bounded", "unbounded")
PIXELS_SUFFIX = ".verified-pixels.sqlite"

PLACED_BY_KEYPOINTS = "keypoints"
PLACED_BY_PIXELS = "pixels"
# Up to this many pictures to read are read in the calling process: starting a pool would
# cost more than it saves.
IN_PROCESS_LIMIT = 2
# Pictures a worker takes at a time: one, so that at the end of a library's first reading no
# worker idles while another still has several pictures to go.
_CHUNK = 1
_STORE_BATCH = 32  # pictures stored per transaction


class VerifiedMatch(NamedTuple):
    """One picture that contains the crop."""

    path: str
    # placed_by "keypoints": matches consistent with the fitted transform (an int);
    # "pixels": normalised grey-level correlation where the crop was placed (a float <= 1).
    score: int | float
    # The crop's outline in the picture's pixels, from top-left, clockwise.
    corners: tuple[tuple[float, float], ...]
    placed_by: str = PLACED_BY_KEYPOINTS


PathLike = Union[str, "os.PathLike[str]"]
# A keypoint placement: (consistent matches, the crop's outline in the picture's pixels).
Placement = tuple[int, tuple[tuple[float, float], ...]]


def verified_cropped_search(
    crop_path: PathLike, folder: PathLike, max_return: int = 25, **options: Any
) -> list[str]:
    """Paths of the pictures under `folder` that contain the crop at `crop_path`, best first."""
    return [match.path for match in verified_cropped_matches(crop_path, folder, max_return, **options)]


def verified_cropped_matches(
    crop_path: PathLike,
    folder: PathLike,
    max_return: int = 25,
    *,
    mp_context: Any = None,
    use_store: bool = True,
    processes: int | None = None,
) -> list[VerifiedMatch]:
    """The pictures under `folder` that contain the crop, best first, at most `max_return`,
    each with its score and the crop's outline in it.

    Raises FileNotFoundError when the crop does not exist and ValueError when it is not a
    picture that can be read. Pictures of the folder that cannot be read are left out.
    `mp_context` chooses the start method of the worker pool (default: multiprocessing's);
    `use_store=False` leaves the feature store alone. `processes`: reading workers (default: a
    worker per processor, at most five); fewer when the largest pictures would not fit in the
    available memory with that many (reading_pool.reader_count).
    """
    crop_path = _path_argument(crop_path, "crop_path")
    folder = _path_argument(folder, "folder")
    if type(max_return) is not int:
        raise TypeError(f"max_return must be an int, not {type(max_return).__name__}")
    if max_return < 0:
        raise ValueError(f"max_return must not be negative, got {max_return}")
    if processes is not None and type(processes) is not int:
        raise TypeError(f"processes must be an int or None, not {type(processes).__name__}")
    if processes is not None and processes < 1:
        raise ValueError(f"processes must be at least 1, got {processes}")
    formats.register_decoders()  # HEIC/HEIF and AVIF, here and in the workers
    crop_grey, crop = _crop_features(crop_path)

    import search_index_lib  # the host's settings and folder walk, as they are now

    listing = [
        record.image_path
        for record in search_index_lib.get_images_absolute_path_recursive_a_directory(folder)
    ]
    store = FeatureCache(str(search_index_lib.CACHED_INDEXED) + STORE_SUFFIX if use_store else None)
    pixels = verified_pixels.PixelSearch(crop_grey)
    order = {path: position for position, path in enumerate(listing)}
    pool = _PoolChoice(mp_context, processes)
    if len(listing) > CANDIDATES:
        words = WordStore(str(search_index_lib.CACHED_INDEXED) + WORDS_SUFFIX if use_store else None)
        pixel_file = str(search_index_lib.CACHED_INDEXED) + PIXELS_SUFFIX if use_store else None

        def matches_with(words: WordStore) -> list[VerifiedMatch]:
            return _candidate_matches(
                crop_grey, crop, folder, listing, order, pixels, store, words, max_return, pool, pixel_file
            )

        try:
            try:
                matches = matches_with(words)
            except verified_candidates.IndexUnavailable:
                # The word file failed half-way (and was given up): the index is made anew
                # in memory for this search, from the feature store.
                words.close()
                words = WordStore(None)
                matches = matches_with(words)
        finally:
            store.close()
            words.close()
        return matches[:max_return]
    try:
        found, pictures, fine = {}, {}, {}
        for path, result in _listing_features(listing, store, pool):
            if result.features is None:
                continue
            # The coarse thumbnail of a picture just read is kept (it is small) in case the
            # keypoint stage places the crop nowhere; stored ones are read only then. Scanning
            # it here, while the workers read on, was measured to slow cold searches down:
            # OpenCV's own threads have no idle processor to use.
            pictures[path] = _Picture(
                result.identity,
                (result.features.width, result.features.height),
                result.thumbnails.coarse if result.thumbnails is not None and pixels.possible else None,
            )
            placement = _verify(crop, result.features)
            if placement is not None:
                found[path] = placement
                if result.thumbnails is not None:
                    fine[path] = result.thumbnails.fine
        found = _confirmed(crop_grey, found, pictures, fine, store, pool)
        matches = [VerifiedMatch(path, *found[path]) for path in listing if path in found]
        # sorted() is stable: equal scores keep the listing order.
        matches.sort(key=lambda match: match.score, reverse=True)
        if not matches and max_return > 0 and pixels.possible:
            matches = _PixelStage(pixels, order, pictures, store, pool).matches(listing)
        store.prune(folder, listing)
    finally:
        store.close()
    return matches[:max_return]


def _candidate_matches(
    crop_grey: np.ndarray,
    crop: Features,
    folder: str,
    listing: list[str],
    order: dict[str, int],
    pixels: verified_pixels.PixelSearch,
    store: FeatureCache,
    words: WordStore,
    max_return: int,
    pool: _PoolChoice,
    pixel_file: str | None = None,
) -> list[VerifiedMatch]:
    """The search of a library larger than CANDIDATES pictures: the candidate index (brought up
    to date first) proposes the pictures to verify."""
    index = words.load()
    store_key = _store_key()  # the same for every picture: made once, not once a picture
    numbers, keys = (index.numbers, index.keys) if index is not None else ({}, [])
    # Every listed picture is checked on every search, natively: a stat and a comparison with
    # _file_key's text, and no object made for a picture that did not change.
    stale_identities, missing = _verified_match.check_listing(listing, numbers, keys, store_key + "|")
    stale = [path for path, _ in stale_identities]
    identities = _ListedIdentities(
        missing, {path: FileIdentity(*identity) for path, identity in stale_identities}
    )
    fresh = dict(_stale_features(stale, identities, store, pool))
    built = index is None
    if index is None:
        descriptor_sets = [
            features.descriptors
            for features in (fresh[path].features for path in stale if path in fresh)
            if features is not None
        ]
        if not descriptor_sets:
            store.prune(folder, listing)
            return []
        sample = verified_candidates.training_sample(descriptor_sets)
        vocabulary = verified_candidates.Vocabulary.train(sample)
        index = verified_candidates.CandidateIndex(words.save_vocabulary(vocabulary))
    added = []
    readable = [path for path in stale if path in fresh]  # the others could not be read
    described = {path: features for path in readable if (features := fresh[path].features) is not None}
    terms = dict(
        zip(
            described,
            verified_candidates.many_picture_terms(
                index.vocabulary, [(features.descriptors, features.points) for features in described.values()]
            ),
        )
    )
    no_terms = (np.zeros(0, np.uint32), np.zeros(0, np.uint32), np.zeros(0, np.uint32))
    for path in readable:
        result = fresh[path]
        features = result.features
        words_of, marks_of, places_of = terms.get(path, no_terms)
        # Merged once below, not every time the added part outgrows its share on the way.
        size = None if features is None else (features.width, features.height)
        index.add(
            path,
            _file_key(result.identity, store_key),
            size,
            words_of,
            marks_of,
            merge=False,
            places=places_of,
        )
        added.append(path)
    index.settle()
    prefix = os.path.join(os.path.abspath(folder), "")
    removed = [path for path in index.paths() if path.startswith(prefix) and path not in order]
    for path in removed:
        index.remove(path)
    words.save(index, added, removed)

    numbers, keys = index.numbers, index.keys
    usable = [
        path
        for path in listing
        if path in identities and path in numbers and keys[numbers[path]][1] is not None
    ]
    if removed or missing or built:
        # Only pictures gone from the folder leave entries behind in the feature store (a
        # changed one's entry is replaced); a new index may not know all that went before.
        store.prune(folder, listing)
    pictures = _IndexedPictures(index, identities, fresh, pixels.possible, usable)
    ranked = index.candidates(crop, usable, FALLBACK_CANDIDATES)
    found: dict[str, Placement] = {}
    tried = 0
    for limit in (CANDIDATES, FALLBACK_CANDIDATES):
        found = _verified_batch(crop_grey, crop, ranked[tried:limit], pictures, fresh, store, pool)
        tried = limit
        if found:
            break
    pixel_stage = _PixelStage(pixels, order, pictures, store, pool)
    # The pictures the pixel stage weighs: every one in a library up to PIXEL_STAGE_LIMIT,
    # else those the pixel index proposes (None when those could not be bounded: no answer).
    weighed: list[str] | None = None
    if not found and max_return > 0 and pixels.possible:
        # The pixel stage's scan of the coarse thumbnails is a second, independent opinion on
        # which pictures hold the crop: a textured crop whose words voted poorly (few of its
        # descriptors quantised alike in its picture) still correlates best with its own
        # picture there. Its best pictures not verified yet get the keypoint verification.
        if len(usable) <= PIXEL_STAGE_LIMIT:
            pixel_stage.scan(usable)
            weighed = usable
        elif PIXEL_INDEX_ROAD != "off":
            weighed = _proposed_scan(pixel_stage, usable, index, folder, pixel_file)
        verified = set(ranked[:tried])
        second_look = [path for path in pixels.best_pictures(SECOND_LOOK) if path not in verified]
        found = _verified_batch(crop_grey, crop, second_look, pictures, fresh, store, pool)
    matches = [VerifiedMatch(path, *found[path]) for path in usable if path in found]
    matches.sort(key=lambda match: match.score, reverse=True)
    if not matches and max_return > 0 and weighed is not None:
        # The scanned pictures were picked out of the whole library: the placement's bars are
        # those for every usable picture.
        matches = pixel_stage.matches(weighed, len(usable))
    return matches


def _proposed_scan(
    pixel_stage: _PixelStage,
    usable: list[str],
    index: verified_candidates.CandidateIndex,
    folder: str,
    pixel_file: str | None,
) -> list[str] | None:
    """Scans the pictures the pixel index proposes (brought up to date first) until no other
    picture could change the pixel stage's answer: the pictures scanned, or None when that
    bound was not reached (the pixel stage then gives no answer) on the bounded road."""
    if PIXEL_INDEX_ROAD not in PIXEL_INDEX_ROADS:
        raise ValueError(f"PIXEL_INDEX_ROAD must be one of {PIXEL_INDEX_ROADS}, not {PIXEL_INDEX_ROAD!r}")
    unbounded = PIXEL_INDEX_ROAD == "unbounded"
    pixel_store = PixelIndexStore(pixel_file)
    try:
        pixel_index = pixel_proposals.up_to_date(
            pixel_store,
            usable,
            lambda path: index.keys[index.numbers[path]][0],
            pixel_stage.coarse_thumbnails,
            folder,
        )
        try:
            settled = pixel_proposals.bounded_scan(
                pixel_stage.pixels,
                pixel_stage.scan,
                pixel_index,
                usable,
                hopeless_unscanned=not unbounded,
            )
        except pixel_proposals.DamagedEntries as damage:
            # Damaged entries may have put the wrong pictures first: no answer by pixels this
            # time, and those pictures are described again by the next search.
            for path in damage.paths:
                pixel_index.remove(path)
            pixel_store.save(pixel_index, [], damage.paths)
            return None
    finally:
        pixel_store.close()
    scanned = pixel_stage.pixels.scanned
    if not settled and not unbounded:
        return None
    return [path for path in usable if path in scanned]


def _verified_batch(
    crop_grey: np.ndarray,
    crop: Features,
    batch: list[str],
    pictures: dict[str, _Picture],
    fresh: dict[str, ReadResult],
    store: FeatureCache,
    pool: _PoolChoice,
) -> dict[str, Placement]:
    """The keypoint placements in the pictures of `batch` that their pixels bear out."""
    found: dict[str, Placement] = {}
    fine: dict[str, np.ndarray] = {}
    for path, features, thumbnails in _candidate_features(batch, pictures, fresh, store, pool):
        placement = _verify(crop, features)
        if placement is not None:
            found[path] = placement
            if thumbnails is not None:
                fine[path] = thumbnails.fine
    return _confirmed(crop_grey, found, pictures, fine, store, pool)


def _file_key(identity: FileIdentity, store_key: str | None = None) -> str:
    """What the candidate index keeps to tell whether a picture changed since it was added
    (`store_key`: _store_key(), when the caller has it)."""
    return (_store_key() if store_key is None else store_key) + "|" + "/".join(map(str, identity))


class _ListedIdentities(dict):  # type: ignore[type-arg]
    """The identity of every listed picture that is a regular file: those of the pictures
    checked stale are given, the others' are read when first asked for (a search asks for a
    few of the library's pictures)."""

    # Stands for a file gone since it was checked: no stored entry is of it.
    _GONE = FileIdentity(-1, -1, -1, -1, -1)

    def __init__(self, missing: list[str], known: dict[str, FileIdentity]) -> None:
        super().__init__(known)
        self._missing = set(missing)

    def __contains__(self, path: object) -> bool:
        return path not in self._missing

    def __missing__(self, path: str) -> FileIdentity:
        identity = file_identity(path) or self._GONE
        self[path] = identity
        return identity


class _IndexedPictures(dict):  # type: ignore[type-arg]
    """The _Picture of every usable picture of the candidate index, made when first asked
    for: a search asks for a few of the library's pictures, not for all of them."""

    def __init__(
        self,
        index: verified_candidates.CandidateIndex,
        identities: dict[str, FileIdentity],
        fresh: dict[str, ReadResult],
        thumbnails_wanted: bool,
        usable: list[str],
    ) -> None:
        super().__init__()
        self._index, self._identities, self._fresh = index, identities, fresh
        self._thumbnails_wanted = thumbnails_wanted
        self._usable = set(usable)

    def __contains__(self, path: object) -> bool:
        return path in self._usable or dict.__contains__(self, path)

    def __missing__(self, path: str) -> _Picture:
        if path not in self._usable:
            raise KeyError(path)
        result = self._fresh.get(path)
        coarse = (
            result.thumbnails.coarse
            if result is not None and result.thumbnails is not None and self._thumbnails_wanted
            else None
        )
        entry = self._index.entry(path)
        assert entry is not None and entry[1] is not None  # usable pictures are indexed with a size
        picture = _Picture(self._identities[path], entry[1], coarse)
        self[path] = picture
        return picture


def _stale_features(
    paths: list[str], identities: dict[str, FileIdentity], store: FeatureCache, pool: _PoolChoice
) -> Iterator[tuple[str, ReadResult]]:
    """Features of pictures the candidate index lacks: from the store, else read (and stored)."""
    to_read = []
    for path in paths:
        stored = store.lookup(path, identities[path], _store_key()) if store.active else None
        if stored is None:
            to_read.append(path)
        else:
            yield path, stored
    batch = []
    for item in _read_pictures(to_read, pool):
        if item is None:
            continue
        batch.append(item)
        if len(batch) >= _STORE_BATCH:
            store.store(batch, _store_key())
            batch = []
        yield item
    store.store(batch, _store_key())


def _candidate_features(
    paths: list[str],
    pictures: dict[str, _Picture],
    fresh: dict[str, ReadResult],
    store: FeatureCache,
    pool: _PoolChoice,
) -> Iterator[tuple[str, Features, Thumbnails | None]]:
    """(path, features, thumbnails or None) of candidate pictures: just read, stored, or read again."""
    missing = []
    for path in paths:
        result = fresh.get(path)
        if result is None and store.active:
            result = store.lookup(path, pictures[path].identity, _store_key())
        if result is None or result.features is None:
            missing.append(path)
            continue
        yield path, result.features, result.thumbnails
    read = [item for item in _read_pictures(missing, pool) if item is not None]
    store.store(read, _store_key())
    for path, result in read:
        if result.features is not None:
            yield path, result.features, result.thumbnails


class _Picture(NamedTuple):
    """What the pixel stage needs of a picture the keypoint stage saw."""

    identity: FileIdentity
    size: tuple[int, int]  # width, height
    coarse: np.ndarray | None = None  # coarse thumbnail when it was just read; else in the store


def _confirmed(
    crop_grey: np.ndarray,
    found: dict[str, Placement],
    pictures: dict[str, _Picture],
    fine: dict[str, np.ndarray],
    store: FeatureCache,
    pool: _PoolChoice,
) -> dict[str, Placement]:
    """The keypoint placements the pixels bear out: the picture's fine thumbnail under the
    fitted outline must correlate with the crop (a chance fit gives a correlation near 0).
    Where the outline is too small on the thumbnail to tell, the match count must be one
    chance does not reach on its own."""
    for path in found:
        if path not in fine:
            thumbnail = store.lookup_thumbnail(path, pictures[path].identity, _store_key(), "fine")
            if thumbnail is not None:
                fine[path] = thumbnail
    _read_missing_thumbnails([path for path in found if path not in fine], pictures, {}, fine, store, pool)
    kept = {}
    for path, (inliers, corners) in found.items():
        if path not in fine:
            continue  # the picture cannot be read again: nothing bears the placement out
        if _borne_out(crop_grey, inliers, corners, pictures[path].size, fine[path]):
            kept[path] = (inliers, corners)
    return kept


def _borne_out(
    crop_grey: np.ndarray,
    inliers: int,
    corners: tuple[tuple[float, float], ...],
    size: tuple[int, int],
    fine: np.ndarray,
) -> bool:
    """Whether the picture's fine thumbnail under the fitted outline bears a keypoint
    placement of `inliers` consistent matches out."""
    if inliers < MIN_INLIERS:
        small = min(crop_grey.shape) < SMALL_CROP_SIDE
        if inliers < (MIN_INLIERS_SMALL_CROP if small else MIN_INLIERS_LARGE_CROP):
            return False
        agreement = verified_placement.placed_agreement(crop_grey, corners, size, fine)
        needed = MIN_FEW_INLIERS_AGREEMENT if small else MIN_FEW_INLIERS_LARGE_AGREEMENT
        return agreement is not None and min(agreement) >= needed
    correlation = verified_placement.placed_correlation(crop_grey, corners, size, fine)
    if correlation is None:
        return inliers >= MIN_INLIERS_UNSAMPLED
    return correlation >= MIN_PLACED_CORRELATION


class _PixelStage:
    """The pixel stage of one search: the scan of the pictures' coarse thumbnails (from the
    store, else read again) and the placement by pixels. The fine thumbnails of the pictures
    read again are kept across scans, so that a placement after a second look reads none twice."""

    def __init__(
        self,
        pixels: verified_pixels.PixelSearch,
        order: dict[str, int],
        pictures: dict[str, _Picture],
        store: FeatureCache,
        pool: _PoolChoice,
    ) -> None:
        self.pixels, self.order, self.pictures, self.store, self.pool = pixels, order, pictures, store, pool
        self.fine: dict[str, np.ndarray] = {}

    def scan(self, listing: list[str]) -> None:
        """Scans the coarse thumbnail of every usable picture of `listing` not scanned yet."""
        unscanned = [path for path in listing if path in self.pictures and path not in self.pixels.scanned]
        coarse = self.coarse_thumbnails(unscanned)
        self.pixels.scan_many(
            [
                (self.order[path], path, thumbnail)
                for path in unscanned
                if (thumbnail := coarse.get(path)) is not None
            ]
        )

    def coarse_thumbnails(self, paths: list[str]) -> dict[str, np.ndarray | None]:
        """The coarse thumbnail of each usable picture of `paths`: kept from its reading, else
        from the store, else read again (None when it cannot be read)."""
        coarse: dict[str, np.ndarray | None] = {}
        for path in paths:
            picture = self.pictures[path]
            coarse[path] = (
                picture.coarse
                if picture.coarse is not None
                else self.store.lookup_thumbnail(path, picture.identity, _store_key(), "coarse")
            )
        missing = [path for path in paths if coarse[path] is None]
        _read_missing_thumbnails(missing, self.pictures, coarse, self.fine, self.store, self.pool)
        return coarse

    def matches(self, listing: list[str], weighed: int | None = None) -> list[VerifiedMatch]:
        """The placements by pixels over every usable picture of `listing`, which were picked
        out of `weighed` pictures (default: `listing` is all of them)."""
        self.scan(listing)
        placements = self.pixels.placements(self._fine_thumbnail, weighed)
        return [
            VerifiedMatch(placement.path, placement.correlation, placement.corners, PLACED_BY_PIXELS)
            for placement in placements
        ]

    def _fine_thumbnail(self, path: str) -> tuple[np.ndarray, tuple[int, int]] | None:
        thumbnail = self.fine.get(path)
        if thumbnail is None:
            thumbnail = self.store.lookup_thumbnail(path, self.pictures[path].identity, _store_key(), "fine")
        if thumbnail is None:  # not stored (no store, or it could not be written): read again
            _read_missing_thumbnails([path], self.pictures, {}, self.fine, self.store, self.pool)
            thumbnail = self.fine.get(path)
        return None if thumbnail is None else (thumbnail, self.pictures[path].size)


def _read_missing_thumbnails(
    paths: list[str],
    pictures: dict[str, _Picture],
    coarse: dict[str, np.ndarray | None],
    fine: dict[str, np.ndarray],
    store: FeatureCache,
    pool: _PoolChoice,
) -> None:
    """Reads the pictures again for their thumbnails, and stores what was read."""
    read = [item for item in _read_pictures(paths, pool) if item is not None]
    store.store(read, _store_key())
    for path, result in read:
        if result.features is not None and result.thumbnails is not None:
            coarse[path], fine[path] = result.thumbnails
            pictures[path] = pictures[path]._replace(size=(result.features.width, result.features.height))


def _path_argument(value: object, name: str) -> str:
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str or path-like object giving a str, not {type(value).__name__}")
    return str(value)


def _crop_features(crop_path: str) -> tuple[np.ndarray, Features]:
    """The crop's grey working picture (for the pixel stage) and its features."""
    if not os.path.exists(crop_path):
        raise FileNotFoundError(errno.ENOENT, "No such crop image file", crop_path)
    read = read_regular_file(crop_path)
    decoded = None if read is None else decode_grey(read[0], CROP_SETTINGS.work_side)
    if decoded is None:
        raise ValueError(
            f"Cannot read the crop image file {crop_path!r}: it is not a regular file "
            f"holding a picture that can be decoded within the pixel limit"
        )
    width, height, grey = decoded
    return grey, features_from_grey(grey, width, height, CROP_SETTINGS)


def _verify(crop: Features, picture: Features | None) -> Placement | None:
    if picture is None:
        return None
    return _verify_with(crop, picture, _two_nearest(crop, picture))


def _verify_with(
    crop: Features, picture: Features, neighbours: tuple[np.ndarray, np.ndarray] | None
) -> Placement | None:
    """The native verification under the search's settings, given the two nearest picture
    descriptors of every crop descriptor (None: it finds them with OpenCV itself)."""
    return _verified_match.verify_picture(
        crop.points,
        crop.descriptors,
        (crop.work_width, crop.work_height),
        picture.points,
        picture.descriptors,
        (picture.work_width, picture.work_height),
        picture.scale,
        **verification_settings(crop),
        neighbours=neighbours,
    )


def verification_settings(crop: Features | None = None) -> dict[str, Any]:
    """The settings above as the native verification's keyword arguments (read at each call),
    for `crop` (a small crop's placements may rest on fewer matches)."""
    small = crop is not None and min(crop.width, crop.height) < SMALL_CROP_SIDE
    return {
        "ratio": RATIO,
        "min_inliers": min(MIN_INLIERS, MIN_INLIERS_SMALL_CROP if small else MIN_INLIERS_LARGE_CROP),
        "reprojection_threshold": REPROJECTION_THRESHOLD,
        "max_iterations": MAX_ITERATIONS,
        "confidence": CONFIDENCE,
        "min_side": MIN_OUTLINE_SIDE,
        "margin_share": OUTLINE_MARGIN,
    }


def _two_nearest(crop: Features, picture: Features) -> tuple[np.ndarray, np.ndarray] | None:
    """(distances, indices) of the two nearest picture descriptors of every crop descriptor,
    from faiss's exact binary search on one thread: the same neighbours as OpenCV's batch
    search (both are exact; where they might order equal distances differently the ratio test
    fails either way), in a fifth of its time here. None when faiss cannot take them."""
    import faiss

    if (
        crop.descriptors.shape[1] != picture.descriptors.shape[1]
        or len(picture.descriptors) < 2
        or len(crop.descriptors) == 0
    ):
        return None
    index = faiss.IndexBinaryFlat(picture.descriptors.shape[1] * 8)
    index.add(np.ascontiguousarray(picture.descriptors))
    with verified_candidates._one_thread():
        distances, indices = index.search(np.ascontiguousarray(crop.descriptors), 2)
    return distances, indices


def _listing_features(
    listing: list[str], store: FeatureCache, pool: _PoolChoice
) -> Iterator[tuple[str, ReadResult]]:
    """(path, what was read or stored) for every readable listed picture: stored ones first
    (without thumbnails), then the others as the workers finish them (with thumbnails); new
    entries are stored on the way."""
    settings_key = _store_key()
    to_read = []
    for path in listing:
        identity = file_identity(path) if store.active else None
        stored = store.lookup(path, identity, settings_key) if identity is not None else None
        if stored is None:
            to_read.append(path)
        else:
            yield path, stored
    batch: list[tuple[str, ReadResult]] = []
    for item in _read_pictures(to_read, pool):
        if item is None:
            continue
        batch.append(item)
        if len(batch) >= _STORE_BATCH:
            store.store(batch, settings_key)
            batch = []
        yield item
    store.store(batch, settings_key)


class _PoolChoice(NamedTuple):
    """How the reading workers are started: the start method's context and how many."""

    context: Any = None
    processes: int | None = None


def _store_key() -> str:
    """STORE_KEY and the decoders this process has: a picture stored as unreadable while a
    decoder was missing is read again once it is installed. Under another pixel limit than
    Pillow's own, the limit too: a picture refused under a lowered limit is read again once
    the limit is back (entries made under the usual limit keep their key)."""
    readable = formats.register_decoders()
    decoders = ",".join(name for name in sorted(readable) if readable[name])
    return STORE_KEY + "|decoders:" + decoders + pixel_limit.key_suffix()


def _read_pictures(paths: list[str], pool: _PoolChoice) -> Iterable[tuple[str, ReadResult] | None]:
    jobs = [(path, PICTURE_SETTINGS, THUMBNAIL_SETTINGS) for path in paths]
    if len(jobs) <= IN_PROCESS_LIMIT:
        yield from map(picture_features, jobs)
        return
    context = pool.context if pool.context is not None else _default_context()
    count = reading_pool.reader_count(paths, pool.processes or _pool_size())
    # A worker that dies (killed, or crashed in a decoder) ends the search as it ends the
    # module's own pools; the pictures read so far are kept in the feature store.
    limit = (Image.MAX_IMAGE_PIXELS,)
    with reading_pool.reading_pool(context, count, _start_worker, limit) as readers:
        yield from watched_imap(readers, picture_features, jobs, _CHUNK, name_of_item=_job_path)


def _start_worker(pixel_limit: int | None) -> None:
    """Worker start-up: Ctrl-C is left to the caller, and the picture decoders are registered
    (spawn and forkserver workers start without them). The worker refuses pictures above the
    caller's decompression-bomb limit, not above the one it started with (Pillow's own, in a
    spawn or forkserver worker). OpenCV works on one thread here: the pool already has a
    worker per processor, and OpenCV's own threads would only fight them."""
    ignore_interrupts()
    formats.register_decoders()
    Image.MAX_IMAGE_PIXELS = pixel_limit
    single_threaded_opencv()


def _job_path(job: tuple[str, FeatureSettings, object]) -> str:
    return job[0]


def _default_context() -> Any:
    """multiprocessing's default start method, except fork. This process runs ORB itself (the
    crop, small folders), and a child forked after that can wait forever inside OpenCV for the
    parent's worker threads, which it does not have; a forkserver child starts clean."""
    context = multiprocessing.get_context()
    if context.get_start_method() == "fork" and "forkserver" in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("forkserver")
    return context


def _pool_size() -> int:
    """A worker per processor, at most five. Reading and ORB are nearly all the work; the
    caller's verification of what the workers hand back is light enough to share a processor
    (on 2 processors, two workers made a cold search 1.5 times as fast as one)."""
    count = os.cpu_count() or 2
    return max(1, min(count, 5))
