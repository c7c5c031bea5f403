"""What the find-images command's own checks add to a warm similarity search.

    .venv/bin/python bench/bench_command_checks.py [--files 100000] [--folders 200] [--repeat 5]

The command leaves unreadable pictures and sub-folders out of a search and says so. On a
readable library that costs it a survey of the folders (a folder whose link count says it has
no sub-folders is only checked, not listed) and a look for its memo of unreadable pictures;
the pictures themselves are checked only when a build fails on one. This times, in turns in
the same process, a warm `similar` through the command's road (`searches.similar`) and the
bare road it wraps (`index_a_directory` and `search_images` with the same query vector), and
the folder survey alone, with and without the link-count shortcut, and the permission check of
every picture that the crop searches and `index` make; the two roads' answers are compared. Files are empty, and `load_images` is rebound to vectors seeded by each path, so no
picture is decoded; the tree has two levels (albums of days), like bench_catalogue.py.
"""

import argparse
import os
import statistics
import sys
import tempfile
import time
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))  # the benchmarks' settings module

import logging  # noqa: E402

import numpy as np  # noqa: E402

import search_index_lib as sil  # noqa: E402
from search_index_tools import searches  # noqa: E402
from search_index_tools.progress import ProgressReporter  # noqa: E402
from search_index_tools.readable_listing import unreadable_folders, unreadable_pictures  # noqa: E402


def make_tree(root, files, folders):
    per_folder = files // folders
    for index in range(folders):
        folder = root / f"album_{index // 20:03d}" / f"day_{index % 20:02d}"
        folder.mkdir(parents=True, exist_ok=True)
        for number in range(per_folder):
            (folder / f"IMG_{number:05d}.jpg").touch()


def seeded_vectors(records):
    return [
        np.random.default_rng(zlib.crc32(r.image_path.encode("utf-8", "surrogateescape"))).integers(
            0, 256, sil.DIMENSION, dtype=np.uint8
        )
        for r in records
    ]


def listing_every_folder(top):
    """The survey without the link-count shortcut: every folder is listed."""
    found, pending = [], [top]
    while pending:
        current = pending.pop()
        try:
            with os.scandir(current) as entries:
                pending += [entry.path for entry in entries if entry.is_dir(follow_symlinks=False)]
        except OSError as error:
            found.append((current, error.strerror))
    return found


def bare_road(folder, row):
    db, rows = sil.index_a_directory(folder)
    distances, found = sil.search_images(db, row, min(sil.SEARCH_RESULT_LIMIT, db.ntotal))
    return [rows[r].image_path for r in found[0] if r >= 0]


def command_road(folder, query, reporter):
    return [hit.path for hit in searches.similar(sil, query, folder, reporter).hits]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=100_000)
    parser.add_argument("--folders", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=5)
    options = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="bench-command-") as work:
        root = Path(work) / "library"
        make_tree(root, options.files, options.folders)
        sil.CACHE_METADATA = str(Path(work) / "fingerprint.txt")
        sil.CACHED_INDEXED = str(Path(work) / "index.faiss")
        sil.load_images = seeded_vectors
        folder = str(root)
        query = str(root / "album_000" / "day_03" / "IMG_00007.jpg")
        logging.getLogger().setLevel(logging.WARNING)
        reporter = ProgressReporter(enabled=False, stream=sys.stderr)
        row = searches.query_row(sil, query)
        assert command_road(folder, query, reporter) == bare_road(folder, row)  # also the build

        paths = [record.image_path for record in sil.get_images_absolute_path_recursive_a_directory(folder)]
        times = {
            "bare road (index_a_directory + search_images)": [],
            "command road (searches.similar)": [],
            "folder survey": [],
            "folder survey, every folder listed": [],
            "picture permission check (crop, index)": [],
        }
        for _ in range(options.repeat):
            for label, step in zip(
                times,
                (
                    lambda: bare_road(folder, row),
                    lambda: command_road(folder, query, reporter),
                    lambda: unreadable_folders(folder),
                    lambda: listing_every_folder(folder),
                    lambda: unreadable_pictures(paths),
                ),
            ):
                start = time.perf_counter()
                step()
                times[label].append(time.perf_counter() - start)
        print(
            f"{options.files} files in {options.folders} folders, {options.repeat} turns, load "
            f"{os.getloadavg()[0]:.1f}:"
        )
        for label, values in times.items():
            print(
                f"  {label:<48} median {statistics.median(values) * 1000:8.1f} ms   "
                f"({min(values) * 1000:.1f}-{max(values) * 1000:.1f})"
            )


if __name__ == "__main__":
    main()
