"""What an index build costs after a fresh build was interrupted at three quarters.

    .venv/bin/python bench/bench_interrupted_build.py [--pictures 400] [--size 640x480] [--repeat 3]

A folder of `--pictures` photo-like JPEGs of `--size` (640 x 480 by default), built on two
roads: the module's own (`index_a_directory` with the module's pool) and the command's
(`find-images index`, whose pool draws progress and sizes itself). Each measurement runs in child processes with a cache
folder of its own:
- full: a fresh build (no index, no feature store), timed;
- resumed: a fresh build interrupted with SIGINT (as Ctrl-C) once three quarters of the
  pictures were opened by the pool's workers, then the next build, timed.
Pictures opened by the workers are counted through an audit hook in the children (forked pool
workers inherit it), which only notes them. Reported per road: medians of `--repeat` pairs
taken in turns, and the resumed build as a share of a full one.
"""

import argparse
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np
from PIL import Image

HERE = Path(__file__).resolve().parent

BUILD = """
import os, sys, time
road, folder, log_path, index, settings = sys.argv[1:6]
main_pid = os.getpid()
log = open(log_path, "a", buffering=1)
def note_opening(event, args):
    if (event == "open" and os.getpid() != main_pid and isinstance(args[0], str)
            and args[0].startswith(folder)):
        log.write(args[0] + "\\n")
sys.addaudithook(note_opening)
if road == "module":
    import search_index_lib as sil
    sil.CACHED_INDEXED = index
    sil.CACHE_METADATA = index + ".metadata"
    start = time.perf_counter()
    db, files = sil.index_a_directory(folder)
    print("RESULT", time.perf_counter() - start, db.ntotal)
else:
    from search_index_tools.cli import main
    start = time.perf_counter()
    status = main(["--settings", settings, "--cache-dir", os.path.dirname(index), "--quiet", "index", folder])
    print("RESULT", time.perf_counter() - start, status)
    sys.exit(status)
"""

ROADS = ("module", "command")


def photo(path, seed, width=640, height=480):
    rng = np.random.default_rng(seed)
    coarse = rng.integers(0, 256, size=(height // 40, width // 40, 3), dtype=np.uint8)
    picture = np.asarray(Image.fromarray(coarse).resize((width, height), Image.BILINEAR), dtype=np.int16)
    picture += rng.integers(-20, 21, size=picture.shape, dtype=np.int16)
    Image.fromarray(np.clip(picture, 0, 255).astype(np.uint8)).save(path, quality=90)


# The settings of the test suite's (32 x 32 vectors); the cache paths are set by each child.
SETTINGS = """import numpy as np
CACHE_METADATA = "metadata.txt"
CACHED_INDEXED = "index.faiss"
VECTOR_TENSOR_SIZE = 32
DIMENSION = 1024
FILE_EXTENSION_REGEX = r"\\.(jpe?g|png)$"
SEARCH_RESULT_LIMIT = 5
FLOATTYPE = np.float32
"""


def start_build(road, folder, log, index):
    settings = Path(index).parents[3]  # work/<road>/<kind><turn>/cache/index.faiss
    environment = dict(os.environ, PYTHONPATH=str(settings))
    arguments = [road, str(folder), str(log), str(index), str(settings)]
    return subprocess.Popen(
        [sys.executable, "-P", "-c", textwrap.dedent(BUILD), *arguments],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=environment,
    )


def timed_build(road, folder, log, index):
    child = start_build(road, folder, log, index)
    output, error = child.communicate()
    if child.returncode != 0:
        raise RuntimeError(error[-3000:])
    line = [line for line in output.splitlines() if line.startswith("RESULT")][-1]
    return float(line.split()[1])


def interrupted_build(road, folder, log, index, pictures):
    child = start_build(road, folder, log, index)
    while child.poll() is None:
        if log.exists() and len(log.read_text().splitlines()) >= pictures * 3 // 4:
            child.send_signal(signal.SIGINT)
            break
        time.sleep(0.01)
    child.communicate()
    if child.returncode == 0:
        raise RuntimeError("the build ended before it was interrupted")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pictures", type=int, default=400)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--size", default="640x480", help="width x height of the pictures")
    options = parser.parse_args()
    width, height = map(int, options.size.lower().split("x"))
    with tempfile.TemporaryDirectory(prefix="bench_interrupted_") as work:
        work = Path(work)
        (work / "constants.py").write_text(SETTINGS)
        folder = work / "photos"
        folder.mkdir()
        for number in range(options.pictures):
            photo(folder / f"photo{number:04d}.jpg", number, width, height)
        full = {road: [] for road in ROADS}
        resumed = {road: [] for road in ROADS}
        read = {road: [] for road in ROADS}
        for turn in range(options.repeat):
            for road in ROADS:
                for kind in ("full", "resumed"):
                    cache = work / road / f"{kind}{turn}" / "cache"
                    cache.mkdir(parents=True)
                    log, index = cache / "opened.log", cache / "index.faiss"
                    if kind == "resumed":
                        interrupted_build(road, folder, log, index, options.pictures)
                        log.unlink()
                    seconds = timed_build(road, folder, log, index)
                    (full if kind == "full" else resumed)[road].append(seconds)
                    if kind == "resumed":
                        read[road].append(len(log.read_text().splitlines()))
        print(f"{options.pictures} JPEGs of {width} x {height}, medians of {options.repeat}:")
        for road in ROADS:
            share = statistics.median(resumed[road]) / statistics.median(full[road])
            print(
                f"  {road} road: full fresh build {statistics.median(full[road]):.2f} s "
                f"({', '.join(f'{s:.2f}' for s in full[road])}); "
                f"build after one interrupted at three quarters {statistics.median(resumed[road]):.2f} s "
                f"({', '.join(f'{s:.2f}' for s in resumed[road])}): {share:.2f} of a full build; "
                f"it read {', '.join(map(str, read[road]))} of {options.pictures} pictures"
            )


if __name__ == "__main__":
    main()
