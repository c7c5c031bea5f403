"""Reading one picture for the duplicate finder: its identity, a content stamp and a small grey
thumbnail, all from one read of the file and one decode of its pixels.

This module runs in pool workers (local or on Ray nodes), so it imports only Pillow and the
standard library. Only regular files are opened (a FIFO or device is never read), the bytes
are decoded from memory, and Pillow's decompression-bomb limit is checked on the header
before any pixel is decoded.
"""

from __future__ import annotations

import hashlib
import io
import warnings
from typing import NamedTuple

from PIL import ExifTags, Image, ImageOps

from ..file_identity import FileIdentity, read_regular_file

# Side of the square grey thumbnail kept for every picture (aspect ratio not kept: the
# picture's own width and height are kept beside it).
THUMBNAIL_SIDE = 64
# JPEGs are decoded at 1/2, 1/4 or 1/8 scale while both sides stay at least this large:
# the thumbnail needs no more, and a reduced decode costs a fraction of a full one.
DRAFT_SIDE = 2 * THUMBNAIL_SIDE
# Orientations that turn the stored picture by a quarter turn.
_QUARTER_TURNS = {5, 6, 7, 8}
# Orientations that ask for the stored picture to be mirrored or turned at all; any other
# value (1, the usual, or one out of range) leaves it as it is stored.
_TURNED = {2, 3, 4, 5, 6, 7, 8}


class PictureRead(NamedTuple):
    """What one read of a file gave. `thumbnail` is None for a file that is no usable picture."""

    path: str
    identity: FileIdentity
    stamp: bytes  # digest of the file's bytes, to tell a rewritten file from the scanned one
    width: int  # as shown: EXIF orientation applied
    height: int
    thumbnail: bytes | None  # THUMBNAIL_SIDE² grey bytes, row by row, upright


def content_stamp(data: bytes) -> bytes:
    return hashlib.blake2b(data, digest_size=16).digest()


def read_picture(path: str) -> PictureRead | None:
    """Worker step for one path; None when the file cannot be read at all."""
    read = read_regular_file(path)
    if read is None:
        return None
    data, identity = read
    decoded = grey_thumbnail(data)
    stamp = content_stamp(data)
    if decoded is None:
        return PictureRead(path, identity, stamp, 0, 0, None)
    width, height, thumbnail = decoded
    return PictureRead(path, identity, stamp, width, height, thumbnail)


def grey_thumbnail(data: bytes) -> tuple[int, int, bytes] | None:
    """(width, height, thumbnail bytes) of the picture in `data`, upright, or None."""
    try:
        with warnings.catch_warnings():
            # The limit is checked below; Pillow's own warning would only be noise.
            warnings.simplefilter("ignore", Image.DecompressionBombWarning)
            with Image.open(io.BytesIO(data)) as image:
                width, height = image.size
                limit = Image.MAX_IMAGE_PIXELS
                if width <= 0 or height <= 0 or (limit is not None and width * height > limit):
                    return None
                orientation = _orientation(image)
                image.draft("L", (DRAFT_SIDE, DRAFT_SIDE))
                grey = _grey_on_white(image)
                small = grey.resize((THUMBNAIL_SIDE, THUMBNAIL_SIDE), Image.Resampling.BOX)
    except MemoryError:
        raise
    except Exception:  # Pillow reports unknown, truncated or broken pictures in many ways
        return None
    if orientation in _TURNED:
        # The thumbnail carries the picture's orientation, so Pillow turns it upright.
        small.getexif()[ExifTags.Base.Orientation] = orientation
        small = ImageOps.exif_transpose(small)
    if orientation in _QUARTER_TURNS:
        width, height = height, width
    return width, height, small.tobytes()


def _orientation(image: Image.Image) -> int:
    try:
        value = image.getexif().get(ExifTags.Base.Orientation, 1)
    except Exception:  # a broken EXIF block does not make the pixels unusable
        return 1
    return value if isinstance(value, int) else 1


def _grey_on_white(image: Image.Image) -> Image.Image:
    """The picture in 8-bit grey; transparent parts count as white."""
    if image.mode in ("RGBA", "LA", "PA", "La", "RGBa") or "transparency" in image.info:
        rgba = image.convert("RGBA")
        white = Image.new("RGBA", rgba.size, (255, 255, 255, 255))
        white.alpha_composite(rgba)
        return white.convert("L")
    if image.mode in ("I;16", "I;16B", "I;16L", "I"):
        # Pillow clips 16-bit values to 0-255 instead of scaling them down.
        return image.point(lambda value: value / 256).convert("L")
    if image.mode == "L":
        return image  # already grey (a JPEG decoded in draft mode is): no copy needed
    return image.convert("L")
