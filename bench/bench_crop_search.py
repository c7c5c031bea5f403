"""Benchmark of the cropped-region search: `cropped_search` over a folder of photo-sized
pictures with a 400x300 crop, and the time of its stages measured one by one.

    .venv/bin/python bench/bench_crop_search.py [--images 200] [--runs 3]

The pictures are generated once into bench/data/crop_search/ and reused. Stage times are
measured serially in this process over every picture, so they add up to the work the pool
workers share; the pool start is measured through the module itself with an empty listing.
"""

import argparse
import multiprocessing
import os
import statistics
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

import cv2  # noqa: E402
from bench_support import save_photo  # noqa: E402

import search_index_lib as sil  # noqa: E402

WIDTH, HEIGHT = 1280, 960
CROP_WIDTH, CROP_HEIGHT = 400, 300


def make_pictures(folder, count):
    folder.mkdir(parents=True, exist_ok=True)
    for seed in range(count):
        path = folder / f"sub{seed % 4}" / f"photo_{seed:03d}.jpg"
        if not path.exists():
            save_photo(path, WIDTH, HEIGHT, seed, quality=90)
    source = folder / "sub1" / f"photo_{count // 2 + 1:03d}.jpg"
    crop = folder.parent / f"crop_{count}.png"
    pixels = cv2.imread(str(source), 0)
    cv2.imwrite(str(crop), pixels[400 : 400 + CROP_HEIGHT, 500 : 500 + CROP_WIDTH])
    return str(source), str(crop)


def listing_of(folder):
    return list(sil.get_images_absolute_path_recursive_a_directory(folder))


def timed(function, *args):
    start = time.perf_counter()
    result = function(*args)
    return time.perf_counter() - start, result


def stage_times(paths, crop_path):
    """Serial seconds per stage, summed over all pictures, as each worker item does them."""
    totals = dict.fromkeys(
        [
            "read picture",
            "read crop",
            "ORB detector",
            "keypoints picture",
            "keypoints crop",
            "match + sort + points",
        ],
        0.0,
    )
    for path in paths:
        seconds, image = timed(cv2.imread, path, 0)
        totals["read picture"] += seconds
        seconds, crop = timed(cv2.imread, crop_path, 0)
        totals["read crop"] += seconds
        seconds, orb = timed(cv2.ORB_create)
        totals["ORB detector"] += seconds
        seconds, (keypoints, descriptors) = timed(orb.detectAndCompute, image, None)
        totals["keypoints picture"] += seconds
        seconds, (_, crop_descriptors) = timed(orb.detectAndCompute, crop, None)
        totals["keypoints crop"] += seconds

        def match():
            matcher = cv2.BFMatcher(cv2.NORM_HAMMING, crossCheck=True)
            found = sorted(matcher.match(descriptors, crop_descriptors), key=lambda m: m.distance)
            return [(int(keypoints[m.queryIdx].pt[0]), int(keypoints[m.queryIdx].pt[1])) for m in found]

        totals["match + sort + points"] += timed(match)[0]
    return totals


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", type=int, default=200)
    parser.add_argument("--runs", type=int, default=3)
    options = parser.parse_args()

    folder = HERE / "data" / "crop_search" / f"photos_{options.images}"
    seconds, (source, crop) = timed(make_pictures, folder, options.images)
    print(
        f"{options.images} pictures {WIDTH}x{HEIGHT} JPEG, crop {CROP_WIDTH}x{CROP_HEIGHT} "
        f"(prepared in {seconds:.1f} s); cpu_count={os.cpu_count()}, "
        f"default start method {multiprocessing.get_start_method()}"
    )

    seconds, records = timed(listing_of, str(folder))
    print(f"listing: {len(records)} pictures in {seconds * 1000:.1f} ms")

    runs = []
    for _ in range(options.runs):
        seconds, found = timed(sil.cropped_search, crop, str(folder))
        runs.append(seconds)
    print(
        f"cropped_search: best {min(runs):.2f} s, mean {statistics.mean(runs):.2f} s over "
        f"{options.runs} runs; {len(found)} paths, source first: {found[0] == source}"
    )

    # One item whose picture is missing: the worker must be up and answer once, at almost
    # no matching cost, so this is the price of starting, using and ending the pool.
    missing = [sil.ImageData(image_path=str(folder / "missing.jpg"), last_modified=None)]
    for method in ("fork", "spawn", "forkserver"):
        sil.Pool = multiprocessing.get_context(method).Pool
        starts = [timed(sil.live_search_similar_cropped, crop, missing)[0] for _ in range(3)]
        print(f"pool start, one item, end ({method}): {min(starts) * 1000:.0f} ms")
    sil.Pool = multiprocessing.Pool

    paths = [record.image_path for record in records]
    serial, _ = timed(lambda: [sil.live_search_find_matched(p, cv2.imread(crop, 0)) for p in paths])
    print(
        f"all items in this process through live_search_find_matched: {serial:.2f} s "
        f"({serial / len(paths) * 1000:.1f} ms per picture)"
    )
    totals = stage_times(paths, crop)
    for stage, seconds in totals.items():
        print(f"  {stage:24s} {seconds:6.2f} s  {seconds / sum(totals.values()) * 100:5.1f} %")


if __name__ == "__main__":
    main()
