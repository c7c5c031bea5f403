"""Keypoints and descriptors of one picture for the verified cropped search.

This module runs in the pool's worker processes as well as in the caller, so it imports
only what the feature work needs (not search_index_lib, whose start-up needs the host's
settings module).

Pictures are read safely: only regular files are opened (a FIFO or device is never read),
the bytes are decoded from memory so no file name ever reaches OpenCV, and Pillow's
decompression-bomb limit is checked on the header before any pixel is decoded.
"""

from __future__ import annotations

import io
import operator
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple

import cv2
import numpy as np
from PIL import Image

from ..file_identity import FileIdentity, read_regular_file
from . import _verified_match

# EXIF orientations that turn the stored picture by a quarter turn, so width and height
# swap when OpenCV applies them on decoding.
_QUARTER_TURNS = {5, 6, 7, 8}

# Formats OpenCV does not decode, or decodes without turning them by their EXIF orientation
# (AVIF); Pillow's plugins read these (see formats.py). HEIF's decoder applies the container's
# rotation itself and leaves an orientation of 1.
PILLOW_DECODED_FORMATS = frozenset({"HEIF", "AVIF"})

# The turn that shows a picture upright, per EXIF orientation.
_UPRIGHT = {
    2: Image.Transpose.FLIP_LEFT_RIGHT,
    3: Image.Transpose.ROTATE_180,
    4: Image.Transpose.FLIP_TOP_BOTTOM,
    5: Image.Transpose.TRANSPOSE,
    6: Image.Transpose.ROTATE_270,
    7: Image.Transpose.TRANSVERSE,
    8: Image.Transpose.ROTATE_90,
}

_RESPONSE = operator.attrgetter("response")

_REDUCED_GREY = {
    1: cv2.IMREAD_GRAYSCALE,
    2: cv2.IMREAD_REDUCED_GRAYSCALE_2,
    4: cv2.IMREAD_REDUCED_GRAYSCALE_4,
    8: cv2.IMREAD_REDUCED_GRAYSCALE_8,
}


@dataclass(frozen=True)
class FeatureSettings:
    """How features are made. A change of any field makes every cached entry stale."""

    features: int  # most keypoints kept
    candidates: int  # keypoints ORB detects before they are spread over the grid
    cell: int  # side of a grid cell, pixels of the working size
    work_side: int  # pictures are decoded at 1/2, 1/4 or 1/8 while the longer side stays >= this
    levels: int  # ORB pyramid levels
    fast_threshold: int
    # Pixels of replicated border added before detection. ORB finds no keypoint within its
    # patch size of the edge, which would leave a small crop with almost nothing.
    border: int = 0
    # A picture whose shorter side is below this is enlarged by a whole factor first: a small
    # crop has too few pixels for ORB's patches, and its enlarged pyramid meets larger copies.
    enlarge_below: int = 0

    def key(self) -> str:
        return (
            f"orb2:n={self.features}:candidates={self.candidates}:cell={self.cell}"
            f":side={self.work_side}:levels={self.levels}"
            f":fast={self.fast_threshold}:border={self.border}:enlarge={self.enlarge_below}"
        )


class Features(NamedTuple):
    """Features of one picture, in the working size it was decoded at."""

    width: int  # picture's own size, after its EXIF orientation
    height: int
    work_width: int
    work_height: int
    points: np.ndarray  # (n, 2) float32, x and y in the working size
    descriptors: np.ndarray  # (n, 32) uint8

    @property
    def scale(self) -> tuple[float, float]:
        return self.width / self.work_width, self.height / self.work_height


@dataclass(frozen=True)
class ThumbnailSettings:
    """Sizes of the grey thumbnails the pixel-based placement searches; a change makes every
    cached entry stale."""

    coarse_side: int  # longer side of the thumbnail every picture is scanned on
    fine_side: int  # longer side of the sharper one the few best placements are refined on

    def key(self) -> str:
        return f"thumbs1:coarse={self.coarse_side}:fine={self.fine_side}"


class Thumbnails(NamedTuple):
    """Grey thumbnails of one picture, made from the decode its features came from."""

    coarse: np.ndarray  # uint8 (h, w), longer side ThumbnailSettings.coarse_side
    fine: np.ndarray  # uint8 (h, w), longer side ThumbnailSettings.fine_side


class ReadResult(NamedTuple):
    identity: FileIdentity
    features: Features | None  # None: the file is not a picture that can be used
    thumbnails: Thumbnails | None = None  # None when not asked for or not usable


def _header_size(data: bytes) -> tuple[int, int] | None:
    """Width and height as shown (EXIF orientation applied), from the header only; None for
    data Pillow does not know as a picture or one above its decompression-bomb limit."""
    header = _header(data)
    return None if header is None else header[:2]


def _header(data: bytes) -> tuple[int, int, str] | None:
    """_header_size's width and height, and Pillow's name of the picture's format."""
    try:
        with warnings.catch_warnings():
            # The limit is checked below; Pillow's own warning would only be noise.
            warnings.simplefilter("ignore", Image.DecompressionBombWarning)
            with Image.open(io.BytesIO(data)) as image:
                width, height = image.size
                picture_format = image.format or ""
                try:
                    orientation = image.getexif().get(0x0112, 1)
                except Exception:  # a broken EXIF block does not make the pixels unusable
                    orientation = 1
    except MemoryError:
        raise
    except Exception:  # Pillow reports unknown or broken headers in many ways
        return None
    limit = Image.MAX_IMAGE_PIXELS
    if width <= 0 or height <= 0 or (limit is not None and width * height > limit):
        return None
    if orientation in _QUARTER_TURNS:
        width, height = height, width
    return width, height, picture_format


def reduction(width: int, height: int, work_side: int) -> int:
    """The largest of 1, 2, 4, 8 that keeps the longer side at least `work_side`."""
    longer = max(width, height)
    factor = 1
    while factor < 8 and longer // (factor * 2) >= work_side:
        factor *= 2
    return factor


def decode_grey(data: bytes, work_side: int) -> tuple[int, int, np.ndarray] | None:
    """(width, height, grey working picture), or None when the bytes are no usable picture."""
    header = _header(data)
    if header is None:
        return None
    width, height, picture_format = header
    factor = reduction(width, height, work_side)
    if picture_format in PILLOW_DECODED_FORMATS:
        grey = _pillow_grey(data, factor)
    else:
        try:
            grey = cv2.imdecode(np.frombuffer(data, dtype=np.uint8), _REDUCED_GREY[factor])
        except cv2.error:
            return None
    if grey is None or grey.ndim != 2 or grey.size == 0:
        return None
    return width, height, grey


def _pillow_grey(data: bytes, factor: int) -> np.ndarray | None:
    """The grey picture decoded by Pillow's plugin, turned upright by its EXIF orientation and
    reduced by `factor` (box average), as OpenCV's reduced grey read gives other formats."""
    try:
        with Image.open(io.BytesIO(data)) as opened:
            try:
                orientation = opened.getexif().get(0x0112, 1)
            except Exception:  # a broken EXIF block does not make the pixels unusable
                orientation = 1
            image: Image.Image = opened.convert("L")
            if orientation in _UPRIGHT:
                image = image.transpose(_UPRIGHT[orientation])
            if factor > 1:
                image = image.reduce(factor)
            return np.asarray(image, dtype=np.uint8)
    except MemoryError:
        raise
    except Exception:  # broken or truncated data, as cv2.imdecode's None
        return None


def single_threaded_opencv() -> None:
    """Makes OpenCV run this process's work on its calling thread: for worker processes of a
    pool that has a worker per processor already (the decode, pyramid and blur steps would
    otherwise start threads of their own on every processor)."""
    cv2.setNumThreads(1)


def detector(settings: FeatureSettings) -> Any:
    create: Any = cv2.ORB_create  # type: ignore[attr-defined]
    return create(
        nfeatures=settings.candidates, nlevels=settings.levels, fastThreshold=settings.fast_threshold
    )


def spread(keypoints: Sequence[Any], shape: tuple[int, ...], settings: FeatureSettings) -> list[Any]:
    """At most `features` keypoints spread over a grid: every cell gives its strongest first,
    then its second strongest, and so on. Without this the strongest texture of a picture
    takes every keypoint, and a crop of a calmer part finds nothing to match. (The choice is
    made natively; spread_reference is the same choice in numpy.)"""
    if len(keypoints) <= settings.features:
        return list(keypoints)
    points = cv2.KeyPoint_convert(keypoints)  # type: ignore[attr-defined]
    responses = np.fromiter(map(_RESPONSE, keypoints), np.float64, len(keypoints))
    kept = _verified_match.spread_positions(
        points, responses, columns=-(-shape[1] // settings.cell), cell=settings.cell, count=settings.features
    )
    return [keypoints[index] for index in kept.tolist()]


def spread_reference(
    keypoints: Sequence[Any], shape: tuple[int, ...], settings: FeatureSettings
) -> list[Any]:
    """spread's choice made with numpy: the reference the native choice is held to."""
    if len(keypoints) <= settings.features:
        return list(keypoints)
    points = cv2.KeyPoint_convert(keypoints)  # type: ignore[attr-defined]
    responses = np.array([keypoint.response for keypoint in keypoints], dtype=np.float64)
    columns = -(-shape[1] // settings.cell)
    cells = (points[:, 1] // settings.cell).astype(np.int64) * columns + (
        points[:, 0] // settings.cell
    ).astype(np.int64)
    # Strongest first within a cell; equal responses keep detection order. (Two stable sorts,
    # the lesser key first: the order of one three-key lexsort, in a third of its time.)
    order = _stable_order(cells, -responses)
    sorted_cells = cells[order]
    starts = np.r_[0, np.flatnonzero(np.diff(sorted_cells)) + 1]
    rank = np.arange(len(order)) - np.repeat(starts, np.diff(np.r_[starts, len(order)]))
    chosen = order[_stable_order(rank, -responses[order])[: settings.features]]
    return [keypoints[index] for index in np.sort(chosen).tolist()]


def _stable_order(first: np.ndarray, second: np.ndarray) -> np.ndarray:
    """Positions sorted by `first`, then `second`, then position."""
    by_second = np.argsort(second, kind="stable")
    ordered: np.ndarray = by_second[np.argsort(first[by_second], kind="stable")]
    return ordered


def features_of(grey: np.ndarray, width: int, height: int, settings: FeatureSettings) -> Features:
    pad = settings.border
    padded = cv2.copyMakeBorder(grey, pad, pad, pad, pad, cv2.BORDER_REPLICATE) if pad else grey
    orb = detector(settings)
    keypoints = spread(orb.detect(padded, None), padded.shape, settings)
    keypoints, descriptors = orb.compute(padded, keypoints)
    points = np.zeros((0, 2), dtype=np.float32)
    if descriptors is not None and len(keypoints) > 0:
        converted = cv2.KeyPoint_convert(keypoints)  # type: ignore[attr-defined]
        points = converted.astype(np.float32).reshape(-1, 2) - np.float32(pad)
        # Keypoints on the made-up border describe nothing that is in the picture.
        inside = (
            (points[:, 0] >= 0)
            & (points[:, 1] >= 0)
            & (points[:, 0] < grey.shape[1])
            & (points[:, 1] < grey.shape[0])
        )
        points, descriptors = points[inside], descriptors[inside]
    else:
        descriptors = np.zeros((0, 32), dtype=np.uint8)
    return Features(
        width,
        height,
        grey.shape[1],
        grey.shape[0],
        np.ascontiguousarray(points),
        np.ascontiguousarray(descriptors, dtype=np.uint8),
    )


def features_from_grey(grey: np.ndarray, width: int, height: int, settings: FeatureSettings) -> Features:
    shorter = min(grey.shape)
    if shorter < settings.enlarge_below:
        factor = -(-settings.enlarge_below // shorter)
        grey = cv2.resize(
            grey, (grey.shape[1] * factor, grey.shape[0] * factor), interpolation=cv2.INTER_CUBIC
        )
    return features_of(grey, width, height, settings)


def features_from_bytes(data: bytes, settings: FeatureSettings) -> Features | None:
    decoded = decode_grey(data, settings.work_side)
    if decoded is None:
        return None
    return features_from_grey(decoded[2], decoded[0], decoded[1], settings)


def thumbnail(grey: np.ndarray, side: int) -> np.ndarray:
    """The grey picture resized so its longer side is `side` (area averaging when shrinking)."""
    height, width = grey.shape
    factor = side / max(height, width)
    size = (max(1, round(width * factor)), max(1, round(height * factor)))
    interpolation = cv2.INTER_AREA if factor < 1 else cv2.INTER_LINEAR
    return np.ascontiguousarray(cv2.resize(grey, size, interpolation=interpolation))


def thumbnails_of(grey: np.ndarray, settings: ThumbnailSettings) -> Thumbnails:
    return Thumbnails(thumbnail(grey, settings.coarse_side), thumbnail(grey, settings.fine_side))


def picture_features(job: tuple[Any, ...]) -> tuple[str, ReadResult] | None:
    """Worker step: (path, what was read) for one picture, or None when it cannot be read.
    `job` is (path, FeatureSettings) or (path, FeatureSettings, ThumbnailSettings); with the
    latter the thumbnails come from the same decode as the features."""
    path, settings = job[:2]
    thumbnail_settings = job[2] if len(job) > 2 else None
    read = read_regular_file(path)
    if read is None:
        return None
    data, identity = read
    decoded = decode_grey(data, settings.work_side)
    if decoded is None:
        return path, ReadResult(identity, None)
    width, height, grey = decoded
    thumbnails = thumbnails_of(grey, thumbnail_settings) if thumbnail_settings is not None else None
    return path, ReadResult(identity, features_from_grey(grey, width, height, settings), thumbnails)
