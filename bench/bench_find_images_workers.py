"""`find-images index` (a worker per processor) against `index_a_directory` with the module's
own pool (one processor left to the caller, at most five workers), on real photographs.

    .venv/bin/python bench/bench_find_images_workers.py [--runs 3] [--pictures 258]

Set-up (once, cached in bench/data/workers/): the photographs of bench_verified_quality.py
(scikit-image's samples and the wallpapers of four Debian packages), each written as a JPEG at
its own size (longer side capped at 2560) and at 3/4, 1/2 and 1/3 of it, the first --pictures
of them in name order. Optionally (--heic) the same pictures as HEIC, written by pillow-heif.

Each run is a fresh process with a fresh cache folder and the feature store off, so every
picture is decoded; the two roads take turns, and the times are medians of --runs. A run's time
is the whole process (interpreter start, imports, walk, decoding, index write); the module's
road also reports the time of the index_a_directory call alone. The index files of every run
are compared byte for byte.

On a machine busy with other work a second worker finds no idle processor; as root, a session
of its own with the scheduler's first share stands in for an idle machine:

    setsid bash -c 'echo -20 > /proc/self/autogroup; exec .venv/bin/python bench/bench_find_images_workers.py'
"""

import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DATA = HERE / "data" / "workers"
FIND_IMAGES = Path(sys.executable).parent / "find-images"
LONGEST_SIDE = 2560
FACTORS = (("full", 1.0), ("three_quarters", 0.75), ("half", 0.5), ("third", 1 / 3))

SETTINGS = """\
import os
import numpy as np
CACHE_METADATA = os.path.join(os.environ["BENCH_CACHE"], "fingerprint.txt")
CACHED_INDEXED = os.path.join(os.environ["BENCH_CACHE"], "index.faiss")
VECTOR_TENSOR_SIZE = 64
DIMENSION = VECTOR_TENSOR_SIZE * VECTOR_TENSOR_SIZE
FILE_EXTENSION_REGEX = r"\\.(jpe?g|png|bmp|gif|tiff?|webp|hei[cf]|hif|avif)$"
SEARCH_RESULT_LIMIT = 10
FLOATTYPE = np.float32
"""

MODULE_ROAD = """\
import sys, time
import search_index_lib
started = time.perf_counter()
index, rows = search_index_lib.index_a_directory(sys.argv[1])
print(time.perf_counter() - started, len(rows))
"""


def build_folder(count, heic):
    """The photo folder (JPEG, or HEIC with --heic); written once."""
    folder = DATA / ("heic" if heic else "jpeg")
    done = DATA / f"{folder.name}.{count}.done"
    if done.exists():
        return folder
    sys.path.insert(0, str(HERE))
    from bench_verified_quality import load_sources, scaled

    if heic:
        import pillow_heif

        pillow_heif.register_heif_opener()
    shutil.rmtree(folder, ignore_errors=True)
    written = []
    for index, (name, image) in enumerate(load_sources()):
        if max(image.size) > LONGEST_SIDE:
            image = scaled(image, LONGEST_SIDE / max(image.size))
        for label, factor in FACTORS:
            written.append((f"{label}/{index:03d}_{name}", image if factor == 1.0 else scaled(image, factor)))
    for stem, image in sorted(written)[:count]:
        path = folder / f"{stem}.{'heic' if heic else 'jpg'}"
        path.parent.mkdir(parents=True, exist_ok=True)
        image.save(path, quality=90)
    done.touch()
    return folder


def run_road(road, folder, settings, cache):
    env = dict(
        os.environ, BENCH_CACHE=str(cache), SEARCH_INDEX_LIB_FEATURE_STORE="off", PYTHONPATH=str(settings)
    )
    shutil.rmtree(cache, ignore_errors=True)
    cache.mkdir(parents=True)
    if road == "module":
        command = [sys.executable, "-c", MODULE_ROAD, str(folder)]
    else:
        command = [str(FIND_IMAGES), "--settings", str(settings), "--quiet", "index", str(folder)]
    started = time.perf_counter()
    done = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
    elapsed = time.perf_counter() - started
    inner = float(done.stdout.split()[0]) if road == "module" else None
    digest = hashlib.sha256((cache / "index.faiss").read_bytes()).hexdigest()
    return elapsed, inner, digest


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--pictures", type=int, default=258)
    parser.add_argument("--heic", action="store_true", help="the pictures as HEIC instead of JPEG")
    options = parser.parse_args()
    folder = build_folder(options.pictures, options.heic)
    pictures = sum(1 for _ in folder.rglob("*.*"))
    with tempfile.TemporaryDirectory() as work:
        settings = Path(work) / "settings"
        settings.mkdir()
        (settings / "constants.py").write_text(SETTINGS)
        times = {"module": [], "command": []}
        inner, digests = [], set()
        for run in range(options.runs):
            for road in ("module", "command") if run % 2 == 0 else ("command", "module"):
                elapsed, call, digest = run_road(road, folder, settings, Path(work) / "cache")
                times[road].append(elapsed)
                digests.add(digest)
                if call is not None:
                    inner.append(call)
                print(
                    f"run {run + 1} {road:8s} {elapsed:6.2f} s"
                    + (f" (index_a_directory {call:.2f} s)" if call is not None else "")
                )
    module, command = statistics.median(times["module"]), statistics.median(times["command"])
    print(
        f"{pictures} pictures in {folder}, {os.cpu_count()} processors "
        f"({len(os.sched_getaffinity(0))} available), load average {os.getloadavg()[0]:.1f}"
    )
    print(
        f"module's own pool:  median {module:.2f} s (index_a_directory alone {statistics.median(inner):.2f} s)"
    )
    print(f"find-images index:  median {command:.2f} s = {command / module:.2f} x the module's")
    print(f"index files identical across every run of both: {len(digests) == 1}")
    if len(digests) != 1:
        sys.exit("the index files differ")


if __name__ == "__main__":
    main()
