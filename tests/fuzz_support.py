"""Calls every module function with arbitrary Python values from a seeded generator. Run in a
child interpreter by the fuzz test: whatever the values, each call must return or raise, and
no process may die of a signal. Prints one line per call before making it, so that the last
line names the call that killed the interpreter should one do so."""

import itertools
import random
import sys

import faiss
import numpy as np
from PIL import Image

import search_index_lib as sil

# name -> number of parameters
FUNCTIONS = {
    "padding_square_image": 1,
    "load_image": 1,
    "load_images": 1,
    "absolute_path_recursive_a_directory": 1,
    "get_images_absolute_path_recursive_a_directory": 1,
    "compute_md5_of_files": 1,
    "is_images_in_dir_changed": 1,
    "search_images": 3,
    "index_a_directory": 1,
    "search_image": 2,
    "live_search_find_matched": 2,
    "live_search_process_image": 1,
    "live_search_similar_cropped": 3,
    "cropped_search": 2,
}


class Hostile:
    """An object whose every attribute, length and iteration fails or lies."""

    def __getattr__(self, name):
        raise RuntimeError(f"no {name} here")

    def __len__(self):
        return 3

    def __iter__(self):
        raise ValueError("cannot iterate")


class Shaped:
    """Looks like an array to code that only reads `shape`."""

    def __init__(self, shape):
        self.shape = shape


def atoms(paths):
    return [
        None,
        True,
        0,
        -1,
        7,
        2**70,
        -(2**70),
        1.5,
        float("nan"),
        float("inf"),
        "",
        ".",
        "x.png",
        "\udcff",
        "bad\udcffname.jpg",
        "a\0b.png",
        b"bytes.png",
        b"\xff.jpg",
        *paths,
        np.zeros((0, 0), np.uint8),
        np.zeros((5, 5, 3)),
        np.full((40, 40), 7, np.uint8),
        np.random.default_rng(1).integers(0, 256, (64, 64), dtype=np.uint8),
        np.array([], dtype=object),
        np.zeros((2, 2, 2, 2), np.int16),
        np.zeros(1024, np.float32),
        np.zeros(7, np.float64),
        Image.new("RGB", (3, 5)),
        Image.new("F", (4, 4)),
        Image.new("1", (6, 6)),
        Image.new("P", (9, 2)),
        faiss.IndexFlatL2(4),
        object(),
        Hostile(),
        Shaped((10, 10)),
        Shaped(None),
        Shaped((2**70, -1)),
    ]


def value(rng, pool, depth=0):
    kind = rng.random()
    if depth < 2 and kind < 0.12:
        return [value(rng, pool, depth + 1) for _ in range(rng.randrange(4))]
    if depth < 2 and kind < 0.22:
        return tuple(value(rng, pool, depth + 1) for _ in range(rng.randrange(4)))
    if depth < 2 and kind < 0.32:
        return sil.ImageData(value(rng, pool, depth + 1), value(rng, pool, depth + 1))
    if depth < 2 and kind < 0.36:
        return sil.MatchedResult(value(rng, pool, depth + 1), value(rng, pool, depth + 1))
    if depth < 2 and kind < 0.40:
        return {"image_path": value(rng, pool, depth + 1), "last_modified": value(rng, pool, depth + 1)}
    return rng.choice(pool)


def arguments(rng, pool, count):
    """Mostly the right number of positional arguments; sometimes one too many or too few,
    sometimes keywords that do not exist."""
    shape = rng.random()
    positional = count + (1 if shape < 0.05 else -1 if shape < 0.1 and count else 0)
    args = [value(rng, pool) for _ in range(positional)]
    kwargs = {"unknown": value(rng, pool)} if rng.random() < 0.05 else {}
    return args, kwargs


def call(function, args, kwargs):
    result = function(*args, **kwargs)
    if hasattr(result, "__next__"):
        list(itertools.islice(result, 50))


def main(seed, calls_per_function, cache_folder, paths):
    sil.CACHE_METADATA = f"{cache_folder}/metadata.txt"
    sil.CACHED_INDEXED = f"{cache_folder}/index.faiss"
    rng = random.Random(seed)
    pool = atoms(paths)
    deaths = 0
    for name, count in FUNCTIONS.items():
        for _ in range(calls_per_function):
            args, kwargs = arguments(rng, pool, count)
            print(name, ascii(args)[:300], ascii(kwargs)[:100], flush=True)
            try:
                call(getattr(sil, name), args, kwargs)
            except Exception as error:  # any error is fine: only a crash is not
                deaths += "worker process died" in str(error)
    print("workers died:", deaths, flush=True)


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4:])
