#!/usr/bin/env python3
"""Times find-images' HTML report for 25 results of 20-megapixel JPEG photographs (5472×3648),
with 150 matched keypoints marked on each, and gives the page's size. For comparison it also
times thumbnails made from the fully decoded photographs (no reduced-scale JPEG decoding)."""

import argparse
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image

ROOT = Path(__file__).resolve().parent.parent

from bench_support import photo_array  # noqa: E402

from search_index_tools import report  # noqa: E402
from search_index_tools.searches import CROP, Hit, Outcome  # noqa: E402

WIDTH, HEIGHT = 5472, 3648


def photographs(folder, count):
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for seed in range(count):
        path = folder / f"photo_{seed:02}.jpg"
        if not path.exists():
            small = Image.fromarray(photo_array(WIDTH // 4, HEIGHT // 4, seed))
            # Upscaled with fine noise on top: a photograph's size and JPEG detail.
            large = np.asarray(small.resize((WIDTH, HEIGHT), Image.BICUBIC), dtype=np.int16)
            noise = np.random.default_rng(seed).integers(-12, 13, size=large.shape, dtype=np.int16)
            Image.fromarray(np.clip(large + noise, 0, 255).astype(np.uint8)).save(path, quality=90)
        paths.append(path)
    return paths


def outcome_of(paths):
    rng = np.random.default_rng(0)
    hits = []
    for rank, path in enumerate(paths, 1):
        x0, y0 = rng.integers(0, WIDTH - 1500), rng.integers(0, HEIGHT - 1000)
        points = [(int(x0 + rng.integers(0, 1500)), int(y0 + rng.integers(0, 1000))) for _ in range(150)]
        hits.append(Hit(rank, str(path), len(points), points))
    return Outcome(CROP, str(paths[0]), str(paths[0].parent), hits, 1.0)


def full_decode_thumbnail(path, points=None):
    with Image.open(path) as picture:
        picture.load()  # the whole photograph, decoded at full size
        picture.thumbnail((report.THUMBNAIL_SIDE, report.THUMBNAIL_SIDE), reducing_gap=None)
        small = picture.convert("RGB")
    return small


def median_time(function, runs):
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        function()
        times.append(time.perf_counter() - started)
    return statistics.median(times), min(times), max(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--data", default=str(ROOT / "bench" / "data" / "report_photos"))
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    paths = photographs(Path(args.data), 25)
    outcome = outcome_of(paths)
    megabytes = sum(path.stat().st_size for path in paths) / 1e6
    print(f"25 JPEGs of {WIDTH}x{HEIGHT} ({WIDTH * HEIGHT / 1e6:.1f} MP), {megabytes:.0f} MB together")
    with tempfile.TemporaryDirectory() as folder:
        target = Path(folder) / "report.html"
        for workers in (1, 4):
            median, low, high = median_time(lambda: report.write_report(outcome, target, workers), args.runs)
            print(
                f"report, {workers} thread(s): median {median:.2f} s (min {low:.2f}, max {high:.2f}) "
                f"over {args.runs} runs"
            )
        print(f"report size: {target.stat().st_size / 1024:.0f} KiB")
    median, low, high = median_time(lambda: [full_decode_thumbnail(p) for p in paths], args.runs)
    print(
        f"thumbnails from fully decoded photographs, 1 thread: median {median:.2f} s "
        f"(min {low:.2f}, max {high:.2f})"
    )


if __name__ == "__main__":
    main()
