"""Times load_images over a folder of photo-sized JPEGs generated under a temporary folder.

    .venv/bin/python bench/bench_imaging.py [--count 500] [--width 1600] [--height 1200]

Uses the test suite's settings (bench/constants.py holds the same values: VECTOR_TENSOR_SIZE
32). Reports the time of
load_images with the module's own pool, and of load_image and of the same steps written
directly against Pillow, one file after another in this process, for comparison.
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from bench_support import photo_array, reference_vector  # noqa: E402
from PIL import Image

import search_index_lib as sil  # noqa: E402


def write_photos(folder, count, width, height):
    """`count` distinct photo-like JPEGs: a few generated pictures, shifted and mirrored."""
    bases = [photo_array(width, height, seed) for seed in range(min(count, 25))]
    rng = np.random.default_rng(0)
    paths = []
    for number in range(count):
        picture = np.roll(bases[number % len(bases)], tuple(rng.integers(0, 200, 2)), axis=(0, 1))
        if number % 2:
            picture = picture[:, ::-1]
        path = folder / f"photo_{number:04d}.jpg"
        Image.fromarray(picture).save(path, quality=90)
        paths.append(path)
    return paths


def timed(label, count, action):
    start = time.perf_counter()
    result = action()
    seconds = time.perf_counter() - start
    print(f"{label:<44} {seconds:8.2f} s  {count / seconds:8.1f} images/s")
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=500)
    parser.add_argument("--width", type=int, default=1600)
    parser.add_argument("--height", type=int, default=1200)
    options = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="bench_imaging_") as folder:
        start = time.perf_counter()
        paths = write_photos(Path(folder), options.count, options.width, options.height)
        megabytes = sum(p.stat().st_size for p in paths) / 1e6
        print(
            f"{options.count} JPEGs of {options.width}x{options.height} ({megabytes:.0f} MB) written in "
            f"{time.perf_counter() - start:.1f} s; {os.cpu_count()} processors, "
            f"VECTOR_TENSOR_SIZE {sil.VECTOR_TENSOR_SIZE}"
        )
        records = [sil.ImageData(image_path=str(p), last_modified=os.path.getmtime(p)) for p in paths]

        vectors = timed("load_images (module pool)", len(records), lambda: sil.load_images(records))
        timed("load_images (module pool), again", len(records), lambda: sil.load_images(records))
        serial = timed(
            "load_image, one by one in this process",
            len(records),
            lambda: [sil.load_image(r) for r in records],
        )
        direct = timed(
            "direct Pillow steps, one by one",
            len(records),
            lambda: [reference_vector(p, sil.VECTOR_TENSOR_SIZE) for p in paths],
        )
        same = all(np.array_equal(a, b) and np.array_equal(a, c) for a, b, c in zip(vectors, serial, direct))
        print("all three give the same vectors:", same)
        return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
