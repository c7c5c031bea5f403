"""Times the index build and similarity queries on generated folders.

    .venv/bin/python bench/bench_index.py [--photos 1000] [--width 1280] [--height 960]
                                          [--rows 20000] [--repeat 5]

Uses the test suite's settings (bench/constants.py holds the same values: VECTOR_TENSOR_SIZE 32,
DIMENSION 1024) and cache files in a temporary folder. Two folders are generated: `--photos` photo-sized JPEGs,
and `--rows` small JPEGs (64 x 48) for a large index. For each: a cold build (no index file),
then warm queries (cached index reused), with the warm query taken apart into its steps.
"""

import argparse
import os
import re
import statistics
import sys
import tempfile
import time
from pathlib import Path

import faiss
import numpy as np
from PIL import Image

HERE = Path(__file__).resolve().parent

from bench_support import photo_array  # noqa: E402

import search_index_lib as sil  # noqa: E402


def write_folder(folder, count, width, height):
    """`count` distinct JPEGs: a few generated pictures, shifted and mirrored, in sub-folders
    of 500 files."""
    bases = [photo_array(width, height, seed) for seed in range(min(count, 25))]
    rng = np.random.default_rng(0)
    paths = []
    for number in range(count):
        picture = np.roll(
            bases[number % len(bases)], tuple(rng.integers(0, max(2, width // 8), 2)), axis=(0, 1)
        )
        if number % 2:
            picture = picture[:, ::-1]
        path = folder / f"part{number // 500:02d}" / f"photo_{number:05d}.jpg"
        path.parent.mkdir(parents=True, exist_ok=True)
        Image.fromarray(picture).save(path, quality=90)
        paths.append(str(path))
    return paths


def seconds(action):
    start = time.perf_counter()
    result = action()
    return time.perf_counter() - start, result


def median_seconds(action, repeat):
    return statistics.median(seconds(action)[0] for _ in range(repeat))


def listing(folder):
    return [
        r
        for r in sil.absolute_path_recursive_a_directory(folder)
        if re.search(sil.FILE_EXTENSION_REGEX, r.image_path, re.IGNORECASE)
    ]


def report(title, folder, query, repeat):
    print(f"\n{title}")
    cold, (db, files) = seconds(lambda: sil.index_a_directory(folder))
    print(f"  cold build (no index file), {len(files)} rows        {cold:8.3f} s")
    sil.index_a_directory(folder)  # stores the fingerprint: from now on the index is reused
    size = os.path.getsize(sil.CACHED_INDEXED) / 1e6
    manifest = os.path.getsize(sil.CACHED_INDEXED + ".rows.json") / 1e6
    print(f"  index file {size:.1f} MB, row manifest {manifest:.2f} MB")

    warm = median_seconds(lambda: sil.search_image(query, folder), repeat)
    print(f"  warm query, search_image (median of {repeat})           {warm:8.3f} s")
    records = listing(folder)
    steps = {
        "folder walk and image test": lambda: listing(folder),
        "fingerprint check": lambda: sil.is_images_in_dir_changed(records),
        "faiss.read_index, mapped as on the reuse road": lambda: faiss.read_index(
            sil.CACHED_INDEXED, faiss.IO_FLAG_MMAP_IFC
        ),
        "index_a_directory on the reuse road": lambda: sil.index_a_directory(folder),
        "query vector: load_images of one file": lambda: sil.load_images([sil.ImageData(query, None)]),
    }
    timings = {name: median_seconds(step, repeat) for name, step in steps.items()}
    vector = sil.load_images([sil.ImageData(query, None)])[0].astype(np.float32)
    timings["search_images (exhaustive, k=5)"] = median_seconds(
        lambda: sil.search_images(db, vector, sil.SEARCH_RESULT_LIMIT), repeat
    )
    manifest_check = (
        timings["index_a_directory on the reuse road"]
        - timings["folder walk and image test"]
        - timings["fingerprint check"]
        - timings["faiss.read_index, mapped as on the reuse road"]
    )
    for name, value in timings.items():
        print(f"    {name:<48} {value:8.3f} s")
    print(f"    {'row manifest check (remainder of reuse road)':<48} {manifest_check:8.3f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--photos", type=int, default=1000)
    parser.add_argument("--width", type=int, default=1280)
    parser.add_argument("--height", type=int, default=960)
    parser.add_argument("--rows", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=5)
    options = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="bench_index_") as work:
        work = Path(work)
        sil.CACHE_METADATA = str(work / "metadata.txt")
        sil.CACHED_INDEXED = str(work / "index.faiss")
        print(
            f"{os.cpu_count()} processors, VECTOR_TENSOR_SIZE {sil.VECTOR_TENSOR_SIZE}, "
            f"DIMENSION {sil.DIMENSION}"
        )
        for title, count, width, height in [
            (
                f"{options.photos} photos of {options.width}x{options.height}",
                options.photos,
                options.width,
                options.height,
            ),
            (f"{options.rows} small pictures of 64x48", options.rows, 64, 48),
        ]:
            if count <= 0:
                continue
            folder = work / f"folder_{count}_{width}"
            written, paths = seconds(lambda: write_folder(folder, count, width, height))
            print(f"\n{count} JPEGs written in {written:.1f} s")
            report(title, str(folder), paths[count // 2], options.repeat)
            os.remove(sil.CACHED_INDEXED)
    return 0


if __name__ == "__main__":
    sys.exit(main())
