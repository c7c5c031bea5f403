"""Times the per-query catalogue work on a generated tree: the folder walk, the image test
and the folder fingerprint, next to the same steps written in plain Python (os.walk +
getmtime + re.search + json.dumps + md5).

    .venv/bin/python bench/bench_catalogue.py [--files 50000] [--folders 500] [--repeat 5]

The tree holds empty files in nested folders (nine in ten named like images); it is made
in a temporary folder and removed afterwards unless --keep names a folder to reuse.
"""

import argparse
import hashlib
import json
import os
import re
import statistics
import tempfile
import time
from pathlib import Path

import search_index_lib as sil  # noqa: E402


def make_tree(root, files, folders):
    """`folders` folders, two levels deep, sharing `files` files evenly."""
    per_folder = files // folders
    stamp = 1_700_000_000_000_000_000
    for index in range(folders):
        folder = root / f"album_{index // 20:03d}" / f"day_{index % 20:02d}"
        folder.mkdir(parents=True, exist_ok=True)
        for number in range(per_folder):
            suffix = ".txt" if number % 10 == 9 else (".JPG" if number % 3 else ".jpeg")
            path = folder / f"IMG_{number:05d}{suffix}"
            path.touch()
            os.utime(path, ns=(stamp, stamp + index * 1_000_003 + number * 7))


def python_walk(folder):
    prefix = os.path.abspath(folder)
    for root, _dirs, files in os.walk(folder):
        relative = os.path.relpath(root, folder)
        for name in files:
            path = os.path.normpath(os.path.join(prefix, relative, name))
            yield sil.ImageData(image_path=path, last_modified=os.path.getmtime(path))


def python_images(folder):
    pattern = sil.FILE_EXTENSION_REGEX
    return [r for r in python_walk(folder) if re.search(pattern, r.image_path, re.IGNORECASE)]


def python_fingerprint(records):
    return hashlib.md5(json.dumps([r.__dict__ for r in records]).encode()).hexdigest()


def timed(function, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
    return result, min(times), statistics.median(times)


def report(label, best, median):
    print(f"  {label:<52} best {best * 1000:8.1f} ms   median {median * 1000:8.1f} ms")


def run(root, repeat):
    folder = str(root)
    images, *t = timed(lambda: sil.get_images_absolute_path_recursive_a_directory(folder), repeat)
    total = sum(1 for _ in os.walk(folder) for _ in _[2])
    print(f"tree: {total} files, {len(images)} images, in {sum(1 for _ in os.walk(folder))} folders")
    print("native (search_index_lib):")
    report(
        "walk, all files", *timed(lambda: list(sil.absolute_path_recursive_a_directory(folder)), repeat)[1:]
    )
    report("walk + image test", *t)
    digest, *t = timed(lambda: sil.compute_md5_of_files(images), repeat)
    report("fingerprint", *t)
    sil.is_images_in_dir_changed(images)
    report(
        "walk + image test + unchanged check",
        *timed(
            lambda: sil.is_images_in_dir_changed(sil.get_images_absolute_path_recursive_a_directory(folder)),
            repeat,
        )[1:],
    )
    print("plain Python:")
    report("os.walk + getmtime, all files", *timed(lambda: list(python_walk(folder)), repeat)[1:])
    reference, *t = timed(lambda: python_images(folder), repeat)
    report("os.walk + getmtime + re.search", *t)
    expected, *t = timed(lambda: python_fingerprint(reference), repeat)
    report("json.dumps + md5", *t)
    report("all of the above", *timed(lambda: python_fingerprint(python_images(folder)), repeat)[1:])
    assert images == reference and digest == expected, "results differ"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=50_000)
    parser.add_argument("--folders", type=int, default=500)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--keep", type=Path, help="make the tree here (once) and keep it")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench_catalogue_") as scratch:
        sil.CACHE_METADATA = os.path.join(scratch, "metadata.txt")
        root = args.keep or Path(scratch) / "tree"
        if not root.exists():
            start = time.perf_counter()
            make_tree(root, args.files, args.folders)
            print(f"made the tree in {time.perf_counter() - start:.1f} s")
        run(root, args.repeat)


if __name__ == "__main__":
    main()
