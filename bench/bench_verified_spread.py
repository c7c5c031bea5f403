"""The keypoint spread of the verified search's picture features: the native choice against
the numpy reference, on the keypoints ORB finds in the real photographs of
bench_verified_quality.py's folder (run that once first).

    .venv/bin/python bench/bench_verified_spread.py [--runs 5]

Checks first that both choose the same keypoints, and that the whole features (points and
descriptors) are the same either way, for every picture. Then times, per picture and on one
thread: the spread alone, and the whole feature making (ORB detection, spread, descriptors)
with each spread; the roads take turns in every run. Prints medians over the runs and the
load average.
"""

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

import cv2
import numpy as np

HERE = Path(__file__).resolve().parent


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    sys.path.insert(0, str(HERE))
    from bench_verified_quality import DATA

    from search_index_tools.verified import features
    from search_index_tools.verified.search import PICTURE_SETTINGS

    cv2.setNumThreads(1)  # as in the reading workers
    paths = sorted((DATA / "folder").rglob("*.jpg"))
    if not paths:
        sys.exit("no pictures: run bench_verified_quality.py once first")
    pictures = []
    for path in paths:
        width, height, grey = features.decode_grey(path.read_bytes(), PICTURE_SETTINGS.work_side)
        keypoints = features.detector(PICTURE_SETTINGS).detect(grey, None)
        pictures.append((width, height, grey, keypoints))

    spreads = {"native": features.spread, "numpy": features.spread_reference}
    for _, _, grey, keypoints in pictures:
        native = spreads["native"](keypoints, grey.shape, PICTURE_SETTINGS)
        reference = spreads["numpy"](keypoints, grey.shape, PICTURE_SETTINGS)
        assert [id(k) for k in native] == [id(k) for k in reference], "the spreads differ"
    made = {}
    for name, spread in spreads.items():
        features.spread = spread
        made[name] = [features.features_of(grey, w, h, PICTURE_SETTINGS) for w, h, grey, _ in pictures]
    features.spread = spreads["native"]
    for one, other in zip(made["native"], made["numpy"]):
        assert np.array_equal(one.points, other.points) and np.array_equal(one.descriptors, other.descriptors)
    print(f"{len(pictures)} pictures: the same keypoints, points and descriptors on both roads")

    alone = {name: [] for name in spreads}
    whole = {name: [] for name in spreads}
    for _ in range(args.runs):
        for name, spread in spreads.items():
            start = time.thread_time()
            for _, _, grey, keypoints in pictures:
                spread(keypoints, grey.shape, PICTURE_SETTINGS)
            alone[name].append((time.thread_time() - start) / len(pictures))
            features.spread = spread
            start = time.thread_time()
            for width, height, grey, _ in pictures:
                features.features_of(grey, width, height, PICTURE_SETTINGS)
            whole[name].append((time.thread_time() - start) / len(pictures))
            features.spread = spreads["native"]
    for name in spreads:
        print(
            f"{name}: spread {1000 * statistics.median(alone[name]):.2f} ms, "
            f"features of a picture {1000 * statistics.median(whole[name]):.2f} ms "
            f"(processor time per picture, median of {args.runs})"
        )
    print(f"load {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
