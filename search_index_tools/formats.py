"""Picture formats beyond those Pillow and OpenCV read out of the box: HEIC/HEIF (the phones'
format) and AVIF.

Pillow reads them through plugins of its ecosystem: pillow-heif's opener for HEIF, and for
AVIF Pillow's own plugin (Pillow 11.3 and later) or, with an older Pillow, pillow-avif-plugin.
A plugin only counts in the process that registered it, so `register_decoders()` runs in the
command's process and in every worker it starts, whatever the start method (a forked worker
inherits the registration, a spawned or forkserver one registers again in its initializer).

Registering is never an error: a decoder that is not installed leaves its format unreadable,
and `left_out_note` then tells, once, how many pictures were left out and what to install.

HEIF stores a picture's rotation in its container, and its decoder applies it: HEIC pictures
are seen upright. The other formats' EXIF orientation is metadata, applied by the report and
the verified search and not by the module's similarity vectors.
"""

from __future__ import annotations

import collections
import os
import warnings
from collections.abc import Callable, Iterable
from typing import NamedTuple


class Decoder(NamedTuple):
    format: str  # Pillow's format name
    label: str  # as the command names it
    extensions: tuple[str, ...]  # lower case, without the dot
    install: str  # what to install when it is missing


HEIF = Decoder("HEIF", "HEIC/HEIF", ("heic", "heif", "hif"), "pip install pillow-heif")
AVIF = Decoder("AVIF", "AVIF", ("avif",), "pip install 'pillow>=11.3' (or pillow-avif-plugin)")
DECODERS = (HEIF, AVIF)

_registered: dict[str, bool] | None = None  # format -> readable, once this process has registered


def _register_heif() -> bool:
    try:
        import pillow_heif
    except (ImportError, OSError):  # not installed, or its library cannot be loaded
        return False
    # Thumbnails stored in the file are left alone: the picture itself is what is read.
    pillow_heif.register_heif_opener(thumbnails=False)
    return True


def _register_avif() -> bool:
    from PIL import features

    with warnings.catch_warnings():  # a Pillow older than its AVIF plugin warns of the name
        warnings.simplefilter("ignore")
        if features.check("avif"):  # Pillow's own plugin, registered as Pillow loads its plugins
            return True
    try:
        import pillow_avif  # noqa: F401  registers itself on import
    except (ImportError, OSError):
        return False
    return True


_REGISTER: dict[str, Callable[[], bool]] = {HEIF.format: _register_heif, AVIF.format: _register_avif}


def register_decoders() -> dict[str, bool]:
    """Registers the installed decoders with Pillow in this process (once); returns, per
    format name, whether pictures of that format can be read here."""
    global _registered
    if _registered is None:
        _registered = {decoder.format: _REGISTER[decoder.format]() for decoder in DECODERS}
    return dict(_registered)


def missing_decoders() -> list[Decoder]:
    readable = register_decoders()
    return [decoder for decoder in DECODERS if not readable[decoder.format]]


def decoder_of(path: str) -> Decoder | None:
    """The decoder a file's name calls for, among DECODERS."""
    extension = os.path.splitext(path)[1].lower().lstrip(".")
    for decoder in DECODERS:
        if extension in decoder.extensions:
            return decoder
    return None


def count_by_decoder(paths: Iterable[str], decoders: Iterable[Decoder]) -> collections.Counter[str]:
    """How many of `paths` are named as pictures of each of `decoders` (by label)."""
    wanted = set(decoders)
    counts: collections.Counter[str] = collections.Counter()
    for path in paths:
        decoder = decoder_of(path)
        if decoder is not None and decoder in wanted:
            counts[decoder.label] += 1
    return counts


def opencv_unreadable(paths: Iterable[str]) -> collections.Counter[str]:
    """How many of `paths` (pictures of DECODERS' formats) OpenCV cannot decode, by label.
    OpenCV tells from the file's first bytes whether one of its decoders takes it."""
    import cv2

    counts: collections.Counter[str] = collections.Counter()
    for path in paths:
        decoder = decoder_of(path)
        if decoder is None:
            continue
        try:
            readable = cv2.haveImageReader(path)
        except cv2.error:
            readable = False
        if not readable:
            counts[decoder.label] += 1
    return counts


def _pictures(counts: collections.Counter[str]) -> str:
    parts = [f"{count} {label} picture{'' if count == 1 else 's'}" for label, count in sorted(counts.items())]
    return parts[0] if len(parts) == 1 else ", ".join(parts[:-1]) + " and " + parts[-1]


def left_out_note(listing: Callable[[], Iterable[str]], plain_crop: bool) -> str | None:
    """The one line the command prints about pictures it left out for their format, or None.
    `listing()` gives the paths of the folder's pictures; it is only called when a note may
    be due. `plain_crop`: the search was the module's cropped search, which reads with OpenCV."""
    missing = missing_decoders()
    if not missing and not plain_crop:
        return None
    paths = list(listing())
    if plain_crop:
        counts = opencv_unreadable(paths)
        if not counts:
            return None
        them = "it" if sum(counts.values()) == 1 else "them"
        needed = [decoder.install for decoder in missing if decoder.label in counts]
        installed = f" once the decoder is installed ({' and '.join(needed)})" if needed else ""
        verify = f"crop without --plain reads {them}{installed}"
        return (
            f"left out {_pictures(counts)}: the crop search reads with OpenCV, which cannot "
            f"decode {them}; {verify}"
        )
    counts = count_by_decoder(paths, missing)
    if not counts:
        return None
    installs = " and ".join(decoder.install for decoder in missing if decoder.label in counts)
    return (
        f"left out {_pictures(counts)}: no decoder for {' or '.join(sorted(counts))} "
        f"is installed ({installs})"
    )
