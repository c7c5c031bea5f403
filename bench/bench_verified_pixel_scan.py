"""The pixel stage's scan of every coarse thumbnail (the crop upright and turned), on a thread
per processor against one by one, over the real photographs of bench_verified_quality.py's
folder (made here when missing) with a smooth crop of its set.

    .venv/bin/python bench/bench_verified_pixel_scan.py [--runs 5] [--crop PATH]

Reads every picture's coarse thumbnail once (in this process), then scans them all, taking
turns in every run: one by one in the calling thread, and shared among a thread per processor.
Checks that both keep the same spots. Prints the medians of the wall and processor times and
the load average: the threads can only shorten the wall time when a processor is free.
"""

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

import bench_support

HERE = Path(__file__).resolve().parent


def coarse_thumbnails():
    readings = bench_support.verified_quality_readings()
    usable = [(path, result.thumbnails.coarse) for path, result in readings if result.thumbnails is not None]
    return [(order, path, coarse) for order, (path, coarse) in enumerate(usable)]


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--crop", help="default: the first crop of the set that has no keypoints")
    args = parser.parse_args()
    sys.path.insert(0, str(HERE))
    from bench_verified_quality import DATA

    from search_index_tools.verified import pixels
    from search_index_tools.verified import search as verified_search

    pictures = coarse_thumbnails()
    crops = [args.crop] if args.crop else sorted(str(path) for path in (DATA / "crops").glob("crop_*.jpg"))
    for crop in crops:
        grey, features = verified_search._crop_features(crop)
        if args.crop or len(features.descriptors) == 0:
            break
    print(f"crop {crop}: {len(features.descriptors)} keypoints")
    roads = {"one by one": 10**9, "threads": pixels.THREADED_SCAN_FROM}
    spots, wall, processor = {}, {name: [] for name in roads}, {name: [] for name in roads}
    for _ in range(args.runs):
        for name, threaded_from in roads.items():
            pixels.THREADED_SCAN_FROM = threaded_from
            search = pixels.PixelSearch(grey)
            start, used = time.perf_counter(), time.process_time()
            search.scan_many(pictures)
            wall[name].append(time.perf_counter() - start)
            processor[name].append(time.process_time() - used)
            spots.setdefault(name, search._candidates)
            assert search._candidates == spots["one by one"], "the roads keep different spots"
    print(f"{len(pictures)} pictures: the same spots on both roads")
    for name in roads:
        print(
            f"{name}: wall {statistics.median(wall[name]):.3f} s, "
            f"processor time {statistics.median(processor[name]):.3f} s (medians of {args.runs})"
        )
    print(f"load {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
