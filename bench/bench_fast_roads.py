"""What each fast road of the folder listing saves, each forced off on its own.

    .venv/bin/python bench/bench_fast_roads.py [--files 100000] [--repeat 7] [--rounds 2]

A folder of `--files` empty picture files in 200 sub-folders. Each road is forced off the way a
host would close it, by rebinding one name to a stand-in that does the same work at the same
cost (a copy of the function or class, so only its identity differs):

- native records (records made without calling ImageData's __init__): ImageData.__init__
  rebound to a copy of itself; workload: the image listing
  (get_images_absolute_path_recursive_a_directory);
- read-ahead walk (the file system read on a thread of its own while records are made), with
  native records, which only a walk that reads ahead makes: ImageData rebound to a copy of the
  class; workload: the image listing;
- fingerprint text made during the walk: json.dumps rebound to a copy of itself; workload: the
  folder check of index_a_directory with the cached index reused (walk, image test, fingerprint).

Each configuration runs in child processes of its own, which take turns over `--rounds` rounds;
each child times its workload `--repeat` times after one untimed call. Reported: the median of
all timings of a configuration, and the saving against the road forced off.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent

CHILD = r"""
import dataclasses, json, sys, time, types
from typing import Optional
import search_index_lib as sil
settings, folder, workload, closing, repeat = {settings!r}, {folder!r}, {workload!r}, {closing!r}, {repeat!r}
for name, value in settings.items():
    setattr(sil, name, value)


def copy_of(function):
    copy = types.FunctionType(function.__code__, function.__globals__, function.__name__,
                              function.__defaults__, function.__closure__)
    copy.__kwdefaults__, copy.__qualname__ = function.__kwdefaults__, function.__qualname__
    return copy


if closing == "ImageData.__init__":
    sil.ImageData.__init__ = copy_of(sil.ImageData.__init__)
elif closing == "ImageData":
    body = {{"__annotations__": {{"image_path": str, "last_modified": Optional[float]}},
             "__module__": "search_index_lib", "__qualname__": "ImageData"}}
    sil.ImageData = dataclasses.dataclass(type("ImageData", (), body))
elif closing == "json.dumps":
    json.dumps = copy_of(json.dumps)

if workload == "listing":
    run = lambda: sil.get_images_absolute_path_recursive_a_directory(folder)
else:
    run = lambda: sil.index_a_directory(folder)
result = run()  # untimed: warms the file system's caches and, for the check, the index
expected = len(result) if workload == "listing" else len(result[1])
times = []
for _ in range(repeat):
    start = time.perf_counter()
    result = run()
    times.append(time.perf_counter() - start)
listed = len(result) if workload == "listing" else len(result[1])
assert listed == expected, (listed, expected)
print("RESULT " + json.dumps({{"times": times, "listed": listed}}))
"""

# (road, workload, name rebound to close it, the configuration it is measured against)
ROADS = [
    ("native records", "listing", "ImageData.__init__", None),
    ("read-ahead walk", "listing", "ImageData", "ImageData.__init__"),
    ("fingerprint text during the walk", "check", "json.dumps", None),
]


def make_folder(folder, files):
    per_folder = -(-files // 200)
    for number in range(files):
        sub = folder / f"part{number // per_folder:03d}"
        if number % per_folder == 0:
            sub.mkdir(parents=True, exist_ok=True)
        (sub / f"photo_{number:06d}.jpg").touch()


# The settings module the children import (the cache paths are set by each child).
SETTINGS = """import numpy as np
CACHE_METADATA = "metadata.txt"
CACHED_INDEXED = "index.faiss"
VECTOR_TENSOR_SIZE = 32
DIMENSION = 1024
FILE_EXTENSION_REGEX = r"\\.(jpe?g|png)$"
SEARCH_RESULT_LIMIT = 5
FLOATTYPE = np.float32
"""


def run_child(settings, folder, workload, closing, repeat):
    script = CHILD.format(settings=settings, folder=str(folder), workload=workload,
                          closing=closing, repeat=repeat)
    environment = dict(os.environ, PYTHONPATH=str(Path(settings["CACHED_INDEXED"]).parent))
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=environment)
    if child.returncode != 0:
        raise RuntimeError(child.stderr[-3000:])
    line = [line for line in child.stdout.splitlines() if line.startswith("RESULT ")][-1]
    return json.loads(line[len("RESULT "):])["times"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--rounds", type=int, default=2)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench_fast_roads_") as work:
        work = Path(work)
        (work / "constants.py").write_text(SETTINGS)
        folder = work / "photos"
        make_folder(folder, options.files)
        settings = {"CACHE_METADATA": str(work / "metadata.txt"),
                    "CACHED_INDEXED": str(work / "index.faiss")}
        # An index of empty files is an empty index; two calls leave fingerprint and index reused.
        for _ in range(2):
            run_child(settings, folder, "check", None, 0)
        configurations = sorted({(workload, closing) for _, workload, closing, _ in ROADS} |
                                {(workload, against) for _, workload, _, against in ROADS}, key=str)
        times = {configuration: [] for configuration in configurations}
        for _ in range(options.rounds):
            for workload, closing in configurations:
                times[(workload, closing)] += run_child(settings, folder, workload, closing, options.repeat)
        print(f"{options.files} files; medians of {options.rounds} x {options.repeat} timings")
        for road, workload, closing, against in ROADS:
            on = statistics.median(times[(workload, against)])
            off = statistics.median(times[(workload, closing)])
            print(f"  {road:<34} {workload:<8} on {on:6.3f} s, off ({closing} rebound) {off:6.3f} s:"
                  f" saves {off - on:6.3f} s = {(off - on) / off:5.1%} of the workload")


if __name__ == "__main__":
    main()
