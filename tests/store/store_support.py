"""Helpers for the feature store tests: a folder with the awkward cases, the results of every
search on it, and direct access to the store file."""

import logging
import os
import sqlite3
from pathlib import Path

import numpy as np
from PIL import Image
from testsupport import save_photo

STORE_SWITCH = "SEARCH_INDEX_LIB_FEATURE_STORE"


def store_path(sil):
    return sil.CACHED_INDEXED + ".features.sqlite"


def fnv1a(data):
    """The checksum the store keeps beside each entry (64-bit FNV-1a, signed)."""
    value = 14695981039346656037
    for byte in data:
        value = ((value ^ byte) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return value - (1 << 64) if value >= 1 << 63 else value


def awkward_folder(root):
    """Photos of several sizes (some too small for the big crop), a flat picture without
    keypoints, a text file with a picture's name and a truncated JPEG."""
    root = Path(root)
    for i, (width, height) in enumerate(
        [(320, 240), (240, 320), (400, 300), (160, 120), (320, 240), (120, 160), (300, 300)]
    ):
        save_photo(root / f"photo{i}.jpg", width, height, seed=10 + i)
    save_photo(root / "sub" / "photo_png.png", 256, 192, seed=30)
    Image.new("L", (200, 150), 140).save(root / "flat.png")
    (root / "notes.jpg").write_text("not a picture\n")
    whole = (root / "photo0.jpg").read_bytes()
    (root / "cut.jpg").write_bytes(whole[: len(whole) // 2])
    return root


def crops(root, photo_folder):
    """A crop cut out of a photo, one larger than the small photos, and a flat one."""
    root = Path(root)
    root.mkdir(parents=True, exist_ok=True)
    picture = Image.open(photo_folder / "photo2.jpg")
    picture.crop((60, 40, 220, 160)).save(root / "fits.png")
    picture.crop((0, 0, 200, 200)).save(root / "too_big_for_some.png")
    Image.new("L", (50, 40), 90).save(root / "flat_crop.png")
    return [str(root / name) for name in ("fits.png", "too_big_for_some.png", "flat_crop.png")]


def log_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno >= logging.INFO]


def every_result(sil, folder, crop_paths, caplog):
    """What each search gives on `folder`, with the log lines, from a fresh index cache."""
    caplog.clear()
    folder = str(folder)
    results = {}
    for road in ("first build", "second build", "reuse"):
        db, files = sil.index_a_directory(folder)
        results[road] = (
            db.reconstruct_n(0, db.ntotal) if db.ntotal else np.zeros((0,)),
            [f.image_path for f in files],
        )
    results["similar"] = sil.search_image(str(Path(folder) / "photo3.jpg"), folder)
    vectors = sil.load_images(list(sil.get_images_absolute_path_recursive_a_directory(folder)))
    results["vectors"] = [None if v is None else (v.dtype.str, v.tolist()) for v in vectors]
    listing = list(sil.get_images_absolute_path_recursive_a_directory(folder))
    for crop in crop_paths:
        results["cropped " + crop] = sil.cropped_search(crop, folder)
        positions, matched, kept = sil.live_search_similar_cropped(crop, listing)
        results["ranked " + crop] = (
            positions,
            [(m.image_path, m.matched_points) for m in matched],
            [k.image_path for k in kept],
        )
    results["log"] = log_lines(caplog)
    return results


def assert_same_results(left, right):
    assert left.keys() == right.keys()
    for name in left:
        if isinstance(left[name], tuple) and isinstance(left[name][0], np.ndarray):
            assert left[name][0].tobytes() == right[name][0].tobytes(), name
            assert left[name][1] == right[name][1], name
        else:
            assert left[name] == right[name], (name, left[name], right[name])


def rows(sil, table):
    with sqlite3.connect(store_path(sil)) as connection:
        return connection.execute(f"SELECT * FROM {table}").fetchall()


def point_cache_at(sil, monkeypatch, folder):
    os.makedirs(folder, exist_ok=True)
    monkeypatch.setattr(sil, "CACHE_METADATA", str(Path(folder) / "metadata.txt"))
    monkeypatch.setattr(sil, "CACHED_INDEXED", str(Path(folder) / "index.faiss"))


def reset_index_cache(sil):
    """Removes the index cache files but keeps the store beside them."""
    folder = Path(sil.CACHED_INDEXED).parent
    for entry in folder.iterdir():
        if not entry.name.startswith(Path(store_path(sil)).name):
            entry.unlink()


# Stand-ins a host might bind in place of the module's own names: they behave the same, but
# are not the module's objects. Module-level, so that pool workers can find them.
import search_index_lib as _sil  # noqa: E402

_OWN = {
    name: getattr(_sil, name)
    for name in (
        "load_image",
        "padding_square_image",
        "live_search_find_matched",
        "live_search_process_image",
    )
}


def host_load_image(file):
    return _OWN["load_image"](file)


def host_padding_square_image(img):
    return _OWN["padding_square_image"](img)


def host_live_search_find_matched(image_path, cropped_image):
    return _OWN["live_search_find_matched"](image_path, cropped_image)


def host_live_search_process_image(payload):
    return _OWN["live_search_process_image"](payload)


class ModuleProxy:
    """Forwards every attribute to a module, as a host's wrapper would."""

    def __init__(self, module):
        self._module = module

    def __getattr__(self, name):
        return getattr(self._module, name)


HOST_STAND_INS = {
    "load_image": lambda: host_load_image,
    "padding_square_image": lambda: host_padding_square_image,
    "live_search_find_matched": lambda: host_live_search_find_matched,
    "live_search_process_image": lambda: host_live_search_process_image,
    "Image": lambda: ModuleProxy(_sil.Image),
    "np": lambda: ModuleProxy(_sil.np),
    "cv2": lambda: ModuleProxy(_sil.cv2),
}
