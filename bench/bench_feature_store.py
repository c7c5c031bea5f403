"""Benchmark of the feature store: each search with the store against the same search with
the store turned off (SEARCH_INDEX_LIB_FEATURE_STORE=off), in the same run.

    .venv/bin/python bench/bench_feature_store.py [--images 260] [--runs 3]

Folder A holds `--images` photo-sized JPEGs (1280x960), folder B 60 others; they are generated
once into bench/data/feature_store/. Every run starts both modes from empty cache files (and,
with the store, an empty store) and times, in order: the first build of A (no cached index),
the second build (the fingerprint is stored only then), a warm similarity query, a rebuild
after touching one picture, a build of B and then of A again (switching folders and back),
and the first and a repeated cropped search of A. Results of both modes are compared.
"""

import argparse
import os
import sqlite3
import statistics
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

import cv2  # noqa: E402
from bench_support import save_photo  # noqa: E402

import search_index_lib as sil  # noqa: E402

SWITCH = "SEARCH_INDEX_LIB_FEATURE_STORE"
WIDTH, HEIGHT = 1280, 960
STEPS = [
    "first build",
    "second build",
    "warm query",
    "rebuild after touching one",
    "build after switching and back",
    "first cropped search",
    "repeated cropped search",
]


def make_folder(folder, count, first_seed):
    folder.mkdir(parents=True, exist_ok=True)
    for seed in range(first_seed, first_seed + count):
        path = folder / f"sub{seed % 4}" / f"photo_{seed:04d}.jpg"
        if not path.exists():
            save_photo(path, WIDTH, HEIGHT, seed, quality=90)
    return sorted(str(p) for p in folder.rglob("*.jpg"))


def timed(function, *args):
    start = time.perf_counter()
    result = function(*args)
    return time.perf_counter() - start, result


def store_figures(store):
    """File size and the average bytes a photograph's vector and keypoints take."""
    with sqlite3.connect(store) as connection:
        connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        vector = connection.execute("SELECT avg(length(vector)), count(*) FROM vectors").fetchone()
        keypoints = connection.execute(
            "SELECT avg(length(positions) + length(descriptors)), count(*) FROM keypoints"
        ).fetchone()
    return os.path.getsize(store), vector, keypoints


def one_run(folder_a, folder_b, query, touched, crop, use_store):
    if use_store:
        os.environ.pop(SWITCH, None)
    else:
        os.environ[SWITCH] = "off"
    times, results = {}, {}
    with tempfile.TemporaryDirectory() as cache:
        sil.CACHE_METADATA = os.path.join(cache, "metadata.txt")
        sil.CACHED_INDEXED = os.path.join(cache, "index.faiss")
        times["first build"], _ = timed(sil.index_a_directory, folder_a)
        times["second build"], (db, files) = timed(sil.index_a_directory, folder_a)
        results["index"] = (db.reconstruct_n(0, db.ntotal).tobytes(), [f.image_path for f in files])
        queries = [timed(sil.search_image, query, folder_a) for _ in range(5)]
        times["warm query"] = statistics.median(t for t, _ in queries)
        results["similar"] = queries[0][1]
        os.utime(touched)
        times["rebuild after touching one"], _ = timed(sil.index_a_directory, folder_a)
        sil.index_a_directory(folder_b)
        times["build after switching and back"], _ = timed(sil.index_a_directory, folder_a)
        times["first cropped search"], results["cropped"] = timed(sil.cropped_search, crop, folder_a)
        times["repeated cropped search"], again = timed(sil.cropped_search, crop, folder_a)
        assert again == results["cropped"]
        if use_store:
            results["store"] = store_figures(sil.CACHED_INDEXED + ".features.sqlite")
    os.environ.pop(SWITCH, None)
    return times, results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", type=int, default=260)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    data = HERE / "data" / "feature_store"
    paths_a = make_folder(data / f"a{args.images}", args.images, 0)
    make_folder(data / "b60", 60, 5000)
    folder_a, folder_b = str(data / f"a{args.images}"), str(data / "b60")
    query, touched = paths_a[len(paths_a) // 3], paths_a[len(paths_a) // 2]
    crop = str(data / "crop.png")
    pixels = cv2.imread(paths_a[len(paths_a) // 4], 0)
    cv2.imwrite(crop, pixels[300:600, 400:800])

    samples = {True: {step: [] for step in STEPS}, False: {step: [] for step in STEPS}}
    sizes = []
    for run in range(args.runs):
        outcome = {}
        for use_store in (False, True):
            times, results = one_run(folder_a, folder_b, query, touched, crop, use_store)
            outcome[use_store] = results
            for step in STEPS:
                samples[use_store][step].append(times[step])
        for name in ("index", "similar", "cropped"):
            assert outcome[True][name] == outcome[False][name], f"{name} differs with the store"
        sizes.append(outcome[True]["store"])
        print(f"run {run + 1} of {args.runs} done", flush=True)

    print(
        f"\n{args.images} pictures of {WIDTH}x{HEIGHT}, VECTOR_TENSOR_SIZE {sil.VECTOR_TENSOR_SIZE}, "
        f"median of {args.runs} runs (seconds)"
    )
    print(f"{'step':34s} {'no store':>10s} {'store':>10s} {'store/no store':>15s}")
    for step in STEPS:
        plain = statistics.median(samples[False][step])
        stored = statistics.median(samples[True][step])
        print(f"{step:34s} {plain:10.3f} {stored:10.3f} {100 * stored / plain:14.1f}%")
    size, (vector_bytes, vectors), (keypoint_bytes, keypoints) = sizes[-1]
    print(
        f"\nstore file after a run: {size / 1e6:.1f} MB; {vectors} vectors of {vector_bytes:.0f} bytes, "
        f"keypoints of {keypoints} pictures, {keypoint_bytes / 1e3:.1f} KB each on average"
    )


if __name__ == "__main__":
    main()
