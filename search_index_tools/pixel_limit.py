"""Pillow's decompression-bomb limit (`PIL.Image.MAX_IMAGE_PIXELS`) as the stores and the
reading workers take it.

A picture over the limit is refused from its header and kept in a store as no usable picture.
That verdict holds under its limit only: entries made under another limit than Pillow's own
carry it in their settings key, so a picture refused under a lowered limit is read again once
the limit is back, and entries made under the usual limit keep the key they always had.

Spawned and forkserver workers, and Ray's, start with Pillow's own limit whatever the caller
set; `read_under` gives them the caller's for the length of one read.

Imported by pool workers: nothing but Pillow and the standard library.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TypeVar

from PIL import Image

# The limit as Pillow ships it: a quarter of a gigabyte of three-byte pixels.
PILLOW_PIXEL_LIMIT = 1024 * 1024 * 1024 // 4 // 3

Item = TypeVar("Item")
Result = TypeVar("Result")


def key_suffix() -> str:
    """Nothing under Pillow's own limit, else "|pixels:<limit>" (None: no limit at all)."""
    limit = Image.MAX_IMAGE_PIXELS
    return "" if limit == PILLOW_PIXEL_LIMIT else f"|pixels:{limit}"


def read_under(limit: int | None, function: Callable[[Item], Result], item: Item) -> Result:
    """function(item) with Pillow's limit at `limit` meanwhile (the caller's, taken where the
    work was handed out), put back afterwards: a Ray worker serves other calls too."""
    before = Image.MAX_IMAGE_PIXELS
    if before == limit:
        return function(item)
    Image.MAX_IMAGE_PIXELS = limit
    try:
        return function(item)
    finally:
        Image.MAX_IMAGE_PIXELS = before
