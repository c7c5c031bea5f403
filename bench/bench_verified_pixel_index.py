"""The pixel index's own costs at large sizes: loading it as a new process does, scoring every
picture for one crop, and its files.

    .venv/bin/python bench/bench_verified_pixel_index.py [--sizes 20000 100000] [--runs 3]
                                                        [--data DIR]

A store of N entries is written once under DIR (default bench/data/pixel_index) through the
store's own code: the vectors of generated smooth pictures (a few hundred distinct ones, taken
in turn). Each run, in a process of its own (a new process finds nothing loaded; the files are
in the system's cache after the first run), measures:

- load: PixelIndexStore.load(), the SQLite rows and the map of the rows file;
- score: PixelIndex.scores() of every picture for one crop (five turns), native kernel on its
  fastest road (AVX2 where there is one), against its portable road (one window at a time),
  both once the map's pages are in the process (the first scores, which fault them in, apart);
- numpy: the same scores by numpy's integer products, a chunk of pictures at a time (the road
  without the kernel), checked equal to the kernel's;
- the process's peak resident memory and the files' sizes.

Medians over --runs; the load average is printed: timings on a shared machine are noisy.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import cv2
import numpy as np

HERE = Path(__file__).resolve().parent
DISTINCT = 300  # distinct pictures whose vectors the entries take in turn
CHUNK = 512  # pictures a numpy product takes at a time


def smooth_grey(seed, width=640, height=480):
    """A smooth picture: a few broad blobs of grey over a gradient."""
    rng = np.random.default_rng(seed)
    ys, xs = np.mgrid[0:height, 0:width].astype(np.float32)
    grey = 60 + 80 * xs / width + 40 * ys / height
    for _ in range(5):
        cx, cy = rng.uniform(0, width), rng.uniform(0, height)
        radius, level = rng.uniform(40, 200), rng.uniform(-60, 60)
        grey += level * np.exp(-((xs - cx) ** 2 + (ys - cy) ** 2) / (2 * radius**2))
    return np.clip(grey, 0, 255).astype(np.uint8)


def coarse(grey):
    return cv2.resize(grey, (64, 48), interpolation=cv2.INTER_AREA)


def build(file, size):
    from search_index_tools.verified import pixel_index, pixel_index_store

    store = pixel_index_store.PixelIndexStore(file)
    index = store.load()
    if len(index) >= size:
        store.close()
        return
    distinct = [pixel_index.picture_vectors(coarse(smooth_grey(seed))) for seed in range(DISTINCT)]
    for first in range(len(index), size, 5000):
        paths = [
            f"/library/{number // 1000:03d}/{number:06d}.png"
            for number in range(first, min(size, first + 5000))
        ]
        for number, path in zip(range(first, size), paths):
            index.put(path, f"key{number}", distinct[number % DISTINCT])
        store.save(index, paths, [])
    store.close()


def numpy_scores(index, queries, paths):
    """The scores without the native kernel: numpy's exact integer products."""
    from search_index_tools.verified import pixel_index

    weights = pixel_index.quantised_queries(queries).astype(np.int32).T
    rows = np.array([index.stored[path][1] for path in paths], np.int64)
    best = np.empty(len(paths), np.int64)
    for first in range(0, len(rows), CHUNK):
        block = np.asarray(index.mapped[rows[first : first + CHUNK]], np.int32)
        best[first : first + CHUNK] = (block @ weights).reshape(len(block), -1).max(axis=1)
    return best / pixel_index.SCORE_UNIT


def measure(file):
    from search_index_tools.verified import pixel_index, pixel_index_store

    start = time.perf_counter()
    store = pixel_index_store.PixelIndexStore(file)
    index = store.load()
    load = time.perf_counter() - start
    store.close()
    paths = index.paths()
    queries = pixel_index.crop_vectors(smooth_grey(12345)[120:300, 200:460])
    # The first scores of a process also fault the map's pages in; the later ones, as every
    # road below, find them mapped.
    start = time.perf_counter()
    index.scores(queries, paths)
    first_score = time.perf_counter() - start
    start = time.perf_counter()
    native = index.scores(queries, paths)
    score = time.perf_counter() - start
    from search_index_tools.verified import _verified_match

    rows = np.array([index.stored[path][1] for path in paths], np.int64)
    start = time.perf_counter()
    portable = _verified_match.best_window_scores(
        index.mapped, pixel_index.quantised_queries(queries), rows, road="portable"
    )
    portable_time = time.perf_counter() - start
    start = time.perf_counter()
    reference = numpy_scores(index, queries, paths)
    numpy_time = time.perf_counter() - start
    with open("/proc/self/status") as status:
        fields = {line.split(":")[0]: line.split()[1:] for line in status}
    peak = int(fields["VmHWM"][0]) / 1024
    # Resident memory of the process's own (anonymous) against pages of mapped files (the rows
    # file: the system's file cache, shared and given back under pressure).
    anonymous, mapped_file = int(fields["RssAnon"][0]) / 1024, int(fields["RssFile"][0]) / 1024
    print(
        json.dumps(
            {
                "load": load,
                "score": score,
                "first_score": first_score,
                "numpy": numpy_time,
                "portable": portable_time,
                "equal": bool(
                    np.array_equal(native, reference)
                    and np.array_equal(portable / pixel_index.SCORE_UNIT, reference)
                ),
                "peak_mb": peak,
                "anonymous_mb": anonymous,
                "file_mb": mapped_file,
                "pictures": len(paths),
            }
        )
    )


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--sizes", type=int, nargs="+", default=[20000, 100000])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--data", default=str(HERE / "data" / "pixel_index"))
    parser.add_argument("--measure", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:
        measure(args.measure)
        return
    for size in args.sizes:
        folder = Path(args.data) / str(size)
        folder.mkdir(parents=True, exist_ok=True)
        file = str(folder / "pixels.sqlite")
        start = time.perf_counter()
        build(file, size)
        print(f"{size}: store ready in {time.perf_counter() - start:.0f} s", flush=True)
        runs = []
        for _ in range(args.runs):
            child = subprocess.run(
                [sys.executable, __file__, "--measure", file], capture_output=True, text=True, check=True
            )
            runs.append(json.loads(child.stdout.strip().splitlines()[-1]))
        from search_index_tools.verified import pixel_index_store

        sizes = {
            "SQLite": os.path.getsize(file) / 1e6,
            "rows": os.path.getsize(file + pixel_index_store.ROWS_SUFFIX) / 1e6,
        }
        print(
            f"{size} pictures: load {statistics.median(run['load'] for run in runs):.3f} s, scores of every "
            f"picture {statistics.median(run['score'] for run in runs):.3f} s native (fastest road; the "
            f"process's first time, the map's pages faulted in, {statistics.median(run['first_score'] for run in runs):.3f} s) against "
            f"{statistics.median(run['portable'] for run in runs):.3f} s native one window at a time and "
            f"{statistics.median(run['numpy'] for run in runs):.3f} s numpy (all equal: "
            f"{all(run['equal'] for run in runs)}), peak RSS {statistics.median(run['peak_mb'] for run in runs):.0f} MB"
            f" (at the end: {statistics.median(run['anonymous_mb'] for run in runs):.0f} MB its own, "
            f"{statistics.median(run['file_mb'] for run in runs):.0f} MB of mapped files), files: SQLite {sizes['SQLite']:.1f} MB, rows {sizes['rows']:.0f} MB;"
            f" medians of {len(runs)}; load average {os.getloadavg()[0]:.1f}",
            flush=True,
        )


if __name__ == "__main__":
    main()
