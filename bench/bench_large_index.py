"""Warm query and build of large indexes, next to another build of the module in the same run.

    .venv/bin/python bench/bench_large_index.py [--rows 20000,100000] [--size 64] [--repeat 3]
        [--baseline-commit bf6c8ad | --baseline-site DIR] [--dropped-every 997]

For each row count: a folder of that many empty picture files (200 sub-folders) and, in a child
process per measurement, the module with `load_images` rebound to a generator of vectors, so
that 100,000 rows take seconds rather than an hour of JPEG decoding: each file's vector is
`size` x `size` grey values drawn from a generator seeded by its path, and every
`--dropped-every`-th file gives no vector (a dropped file). Everything after the loader is the
module's own: walk, fingerprint, row manifest, conversion, normalisation, index, cache files.

Measured per road, each in fresh child processes:
- build: a cold `index_a_directory` (no index file); time, and the child's peak resident memory
  (ru_maxrss) next to the index size;
- warm query: `search_image` of one of the files with the index reused; the median of 5 queries
  in one child, then the median over `--repeat` children; the child's first query (which also
  loads faiss's code and maps the index file for the first time) is reported beside it.

The other road is the module built from `--baseline-commit` (git archive of that commit,
installed with pip into bench/data/baseline-<commit>/; the first run builds it, later runs
reuse it), or an install given with `--baseline-site`. Both roads use the same folder and
vectors but their own cache files. `--size` 64 is the default settings' 64 x 64 (4,096
dimensions).
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

CHILD = r"""
import json, resource, statistics, sys, time, zlib
sys.path[:0] = {paths!r}
import numpy as np
import search_index_lib as sil
settings = {settings!r}
for name, value in settings.items():
    setattr(sil, name, value)
elements = settings["DIMENSION"]


def generated_vectors(records):
    vectors = []
    for record in records:
        seed = zlib.crc32(record.image_path.encode("utf-8", "surrogateescape"))
        if {dropped_every} and seed % {dropped_every} == 0:
            vectors.append(None)
        else:
            vectors.append(np.random.default_rng(seed).integers(0, 256, elements, dtype=np.uint8))
    return vectors


sil.load_images = generated_vectors
folder, task = {folder!r}, {task!r}
start_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
result = {{"module": sil.__file__}}
if task == "build":
    start = time.perf_counter()
    db, files = sil.index_a_directory(folder)
    result["seconds"] = time.perf_counter() - start
    result["rows"] = db.ntotal
    result["listed"] = len(files)
else:
    query = {query!r}
    start = time.perf_counter()
    first = sil.search_image(query, folder)
    result["first_seconds"] = time.perf_counter() - start
    assert first[0] == query, first
    times = []
    for _ in range(5):
        start = time.perf_counter()
        sil.search_image(query, folder)
        times.append(time.perf_counter() - start)
    result["seconds"] = statistics.median(times)

    def median_of_3(action):
        spent = []
        for _ in range(3):
            start = time.perf_counter()
            action()
            spent.append(time.perf_counter() - start)
        return statistics.median(spent)

    listing = sil.get_images_absolute_path_recursive_a_directory(folder)
    db, files = sil.index_a_directory(folder)
    vector = generated_vectors([sil.ImageData(query, None)])[0]
    # index_a_directory makes the fingerprint while it walks; the two alone, for comparison.
    steps = {{"walk and image test alone": median_of_3(lambda: sil.get_images_absolute_path_recursive_a_directory(folder)),
              "fingerprint alone": median_of_3(lambda: sil.is_images_in_dir_changed(listing)),
              "index_a_directory": median_of_3(lambda: sil.index_a_directory(folder)),
              "search_images": median_of_3(lambda: sil.search_images(db, vector, sil.SEARCH_RESULT_LIMIT))}}
    result["steps"] = steps
result["start_rss"] = start_rss
result["peak_rss"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print("RESULT " + json.dumps(result))
"""


def make_folder(folder, rows):
    """`rows` empty picture files in 200 sub-folders; returns the path of one of them."""
    per_folder = -(-rows // 200)
    for number in range(rows):
        sub = folder / f"part{number // per_folder:03d}"
        if number % per_folder == 0:
            sub.mkdir(parents=True, exist_ok=True)
        (sub / f"photo_{number:06d}.jpg").touch()
    return str(folder / "part000" / "photo_000001.jpg")


def baseline_site(commit):
    """The module built from `commit`, installed under bench/data (built on first use)."""
    site = HERE / "data" / f"baseline-{commit}"
    if (site / ".complete").exists():
        return site
    with tempfile.TemporaryDirectory(prefix="bench_baseline_") as source:
        archive = subprocess.run(
            ["git", "-C", str(ROOT), "archive", commit], check=True, capture_output=True
        ).stdout
        subprocess.run(["tar", "-x", "-C", source], input=archive, check=True)
        print(f"building the module of {commit} into {site} (a few minutes)", flush=True)
        subprocess.run(
            [
                sys.executable,
                "-m",
                "pip",
                "install",
                "--quiet",
                "--no-deps",
                "--no-build-isolation",
                "--target",
                str(site),
                source,
            ],
            check=True,
        )
    (site / ".complete").touch()
    return site


def run_child(task, road_paths, settings, folder, query, dropped_every):
    script = CHILD.format(
        paths=road_paths,
        settings=settings,
        folder=folder,
        task=task,
        query=query,
        dropped_every=dropped_every,
    )
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    if child.returncode != 0:
        raise RuntimeError(f"{task} child failed:\n{child.stderr[-3000:]}")
    line = [line for line in child.stdout.splitlines() if line.startswith("RESULT ")][-1]
    return json.loads(line[len("RESULT ") :])


def median(values):
    return statistics.median(values)


def measure(rows, roads, options, work):
    folder = work / f"folder_{rows}"
    query = make_folder(folder, rows)
    print(
        f"\n{rows} files ({options.size}x{options.size} vectors, one file in "
        f"{options.dropped_every} gives none)"
    )
    settings, builds, warm = {}, {road: [] for road in roads}, {road: [] for road in roads}
    for road in roads:
        cache = work / f"cache_{road}_{rows}"
        cache.mkdir()
        settings[road] = {
            "CACHE_METADATA": str(cache / "metadata.txt"),
            "CACHED_INDEXED": str(cache / "index.faiss"),
            "VECTOR_TENSOR_SIZE": options.size,
            "DIMENSION": options.size**2,
        }

    def child(task, road):
        return run_child(task, roads[road], settings[road], str(folder), query, options.dropped_every)

    # The roads take turns, so that both see the same load of a shared machine.
    for _ in range(options.repeat):
        for road in roads:
            for leftover in Path(settings[road]["CACHED_INDEXED"]).parent.iterdir():
                leftover.unlink()
            builds[road].append(child("build", road))
    for road in roads:
        child("build", road)  # the second call stores the fingerprint; from then on: reuse
    for _ in range(options.repeat):
        for road in roads:
            warm[road].append(child("warm", road))

    for road in roads:
        index_bytes = os.path.getsize(settings[road]["CACHED_INDEXED"])
        peak = median(b["peak_rss"] for b in builds[road])
        start = median(b["start_rss"] for b in builds[road])
        print(
            f"  {road:<9} index {index_bytes / 1e6:8.1f} MB, {builds[road][0]['rows']} rows"
            f"   ({Path(builds[road][0]['module']).parent})"
        )
        print(
            f"  {road:<9} build {median(b['seconds'] for b in builds[road]):7.2f} s, peak "
            f"{peak / 1e6:7.0f} MB (at start {start / 1e6:4.0f} MB) = {peak / index_bytes:4.2f} x index;"
            f" 1.3 x index + 150 MB = {(1.3 * index_bytes + 150e6) / 1e6:.0f} MB"
        )
        seconds = [w["seconds"] for w in warm[road]]
        print(
            f"  {road:<9} warm query {median(seconds):7.3f} s "
            f"(children: {', '.join(f'{s:.3f}' for s in seconds)}); the first query of a process "
            f"{median(w['first_seconds'] for w in warm[road]):.3f} s"
        )
        steps = {name: median(w["steps"][name] for w in warm[road]) for name in warm[road][0]["steps"]}
        print(
            f"  {road:<9}   of which: " + ", ".join(f"{name} {value:.3f} s" for name, value in steps.items())
        )
    if len(roads) == 2:
        new, old = (median(w["seconds"] for w in warm[road]) for road in roads)
        print(f"  warm query: {new / old:.2f} of the baseline's")
    for road in roads:
        shutil.rmtree(Path(settings[road]["CACHED_INDEXED"]).parent, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", default="20000,100000")
    parser.add_argument("--size", type=int, default=64)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--dropped-every", type=int, default=997)
    parser.add_argument("--baseline-commit", default="bf6c8ad")
    parser.add_argument("--baseline-site", help="an install of the module to compare with")
    parser.add_argument("--no-baseline", action="store_true")
    options = parser.parse_args()

    settings_folder = str(HERE)  # the benchmarks' settings module, `constants`
    roads = {"this": [settings_folder]}
    if not options.no_baseline:
        site = (
            Path(options.baseline_site) if options.baseline_site else baseline_site(options.baseline_commit)
        )
        roads["baseline"] = [str(site), settings_folder]
    print(f"{os.cpu_count()} processors; roads: " + ", ".join(roads))
    with tempfile.TemporaryDirectory(prefix="bench_large_index_") as work:
        for rows in (int(r) for r in options.rows.split(",")):
            measure(rows, roads, options, Path(work))
    return 0


if __name__ == "__main__":
    sys.exit(main())
