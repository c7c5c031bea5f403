"""Folders of generated pictures and log helpers for the index tests."""

import logging
import re
from pathlib import Path

from testsupport import save_photo

ROAD_NO_INDEX = "There is no cached index, indexing"
ROAD_CHANGED = "Hash changed, re-indexing"
ROAD_REUSE = "Using cached index"
ROAD_STALE_MANIFEST = "Cached index does not match its row manifest, re-indexing"
DONE = "Indexing done"


def count_line(n):
    return f"After remove none indices: {n}, {n}"


def photo_folder(root, count, first_seed=0, suffix=".jpg", size=(64, 48)):
    """`count` distinct photo-like pictures directly in `root`; returns their paths."""
    root = Path(root)
    return [
        str(save_photo(root / f"photo{first_seed + i:03d}{suffix}", *size, seed=first_seed + i))
        for i in range(count)
    ]


def not_an_image(path, text="plain text, not a picture\n"):
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return str(path)


def messages(caplog):
    """The module's log lines (it logs through the root logger), in order."""
    return [r.getMessage() for r in caplog.records if r.name == "root" and r.levelno == logging.INFO]


def distances_logged(caplog):
    """The numbers of the last "Distances: " line."""
    line = [m for m in messages(caplog) if m.startswith("Distances: ")][-1]
    return [float(x) for x in re.findall(r"[-+]?(?:\d+\.\d*|\d+)(?:e[-+]?\d+)?", line[len("Distances: ") :])]


def make_reusable(sil, folder):
    """Two calls leave both cache files describing `folder`: the first writes the index, the
    second stores the fingerprint (and builds again); the next call reuses."""
    sil.index_a_directory(str(folder))
    sil.index_a_directory(str(folder))
