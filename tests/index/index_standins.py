"""Python stand-ins for the folder walk, the fingerprint and the loader, bound into the
module only while those functions are not built yet."""
import hashlib
import json
import os

import numpy as np
from PIL import Image, UnidentifiedImageError

import search_index_lib as sil


def walk(folder):
    prefix = os.path.abspath(folder)
    for root, _dirs, files in os.walk(folder):
        for name in files:
            path = os.path.normpath(os.path.join(prefix, os.path.relpath(root, folder), name))
            yield sil.ImageData(image_path=path, last_modified=os.path.getmtime(path))


def compute_md5(records):
    return hashlib.md5(json.dumps([r.__dict__ for r in records]).encode()).hexdigest()


def changed(records):
    digest = sil.compute_md5_of_files(records)
    if os.path.exists(sil.CACHE_METADATA):
        with open(sil.CACHE_METADATA) as f:
            if f.read() == digest:
                return False
    with open(sil.CACHE_METADATA, "w") as f:
        f.write(digest)
    return True


def load(record):
    try:
        with Image.open(record.image_path) as img:
            if img.mode == "RGBA":
                img = img.convert("RGB")
            w, h = img.size
            if w != h:
                canvas = Image.new("RGB", (max(w, h),) * 2, (255, 255, 255))
                canvas.paste(img, (0, 0))
                img = canvas
            small = img.convert("L").resize((sil.VECTOR_TENSOR_SIZE,) * 2)
            return np.array(small).flatten()
    except UnidentifiedImageError:
        return None


def load_all(records):
    return [load(r) for r in records]


STANDINS = {
    "absolute_path_recursive_a_directory": (walk, lambda: list(sil.absolute_path_recursive_a_directory("/nonexistent"))),
    "compute_md5_of_files": (compute_md5, lambda: sil.compute_md5_of_files([])),
    "is_images_in_dir_changed": (changed, None),
    "load_images": (load_all, lambda: sil.load_images([])),
}


def install_missing(monkeypatch):
    """Binds a stand-in for every sibling whose body is still missing."""
    for name, (standin, probe) in STANDINS.items():
        try:
            (probe or (lambda: getattr(sil, name)([])))()
        except NotImplementedError:
            monkeypatch.setattr(sil, name, standin)
