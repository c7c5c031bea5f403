"""What an index build costs after a fresh build was interrupted at three quarters.

    .venv/bin/python bench/bench_interrupted_build.py [--pictures 400] [--repeat 3]

A folder of `--pictures` photo-like JPEGs of 640 x 480. Each measurement runs in child
processes with a cache folder of its own:
- full: a fresh build (no index, no feature store), timed;
- resumed: a fresh build interrupted with SIGINT (as Ctrl-C) once three quarters of the
  pictures were opened, then the next build, timed.
Pictures opened are counted through an audit hook in the children (pool workers inherit it),
which only notes them. Reported: medians of `--repeat` pairs taken in turns, and the resumed
build as a share of a full one.
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
import json, sys, time
folder, log_path, index = sys.argv[1:4]
log = open(log_path, "a", buffering=1)
def note_opening(event, args):
    if event == "open" and isinstance(args[0], str) and args[0].startswith(folder):
        log.write(args[0] + "\\n")
sys.addaudithook(note_opening)
import search_index_lib as sil
sil.CACHED_INDEXED = index
sil.CACHE_METADATA = index + ".metadata"
start = time.perf_counter()
db, files = sil.index_a_directory(folder)
print("RESULT", time.perf_counter() - start, db.ntotal)
"""


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


def start_build(folder, log, index):
    settings = Path(index).parent.parent
    environment = dict(os.environ, PYTHONPATH=str(settings))
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(BUILD), str(folder), str(log), str(index)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=environment)


def timed_build(folder, log, index):
    child = start_build(folder, log, index)
    output, error = child.communicate()
    if child.returncode != 0:
        raise RuntimeError(error[-3000:])
    line = [line for line in output.splitlines() if line.startswith("RESULT")][-1]
    return float(line.split()[1])


def interrupted_build(folder, log, index, pictures):
    child = start_build(folder, log, index)
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
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench_interrupted_") as work:
        work = Path(work)
        (work / "constants.py").write_text(SETTINGS)
        folder = work / "photos"
        folder.mkdir()
        for number in range(options.pictures):
            photo(folder / f"photo{number:04d}.jpg", number)
        full, resumed = [], []
        for turn in range(options.repeat):
            for road in ("full", "resumed"):
                cache = work / f"{road}{turn}"
                cache.mkdir()
                log, index = cache / "opened.log", cache / "index.faiss"
                if road == "resumed":
                    interrupted_build(folder, log, index, options.pictures)
                    log.unlink()
                seconds = timed_build(folder, log, index)
                (full if road == "full" else resumed).append(seconds)
                if road == "resumed":
                    read = len(log.read_text().splitlines())
                    print(f"  resumed build {turn + 1}: read {read} of {options.pictures} pictures")
        print(f"{options.pictures} JPEGs of 640 x 480, medians of {options.repeat}:")
        print(f"  full fresh build {statistics.median(full):.2f} s "
              f"({', '.join(f'{s:.2f}' for s in full)})")
        print(f"  build after one interrupted at three quarters {statistics.median(resumed):.2f} s "
              f"({', '.join(f'{s:.2f}' for s in resumed)}): "
              f"{statistics.median(resumed) / statistics.median(full):.2f} of a full build")


if __name__ == "__main__":
    main()
