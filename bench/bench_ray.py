"""Benchmark of the Ray road: an index build and a cropped search over photo-sized JPEGs with
the module's own pool, then with a Ray pool of the same worker count on a local Ray instance,
and the part of a build that stays serial in the caller. From these it projects a build of
many photographs on a cluster.

    .venv/bin/python bench/bench_ray.py [--images 250] [--runs 3] [--workers N]
                                        [--project 300000] [--nodes 10] [--cores 16]

Pictures are generated once into bench/data/ray/ and reused; the caches go to a temporary
folder. Each timed build takes the road of a changed folder (its fingerprint file and any
stored features removed), so every picture is loaded anew. A pool's time is taken from
`Pool(size)` to the end of its `join()`: what is left of a build is the caller's serial part
(walk, index read, fingerprint, stored features if any, index and row manifest writes).
"""

import argparse
import logging
import os
import shutil
import statistics
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

import cv2  # noqa: E402
from bench_support import save_photo  # noqa: E402

import search_index_lib as sil  # noqa: E402
from search_index_tools.ray_pool import bind_ray_pool  # noqa: E402

WIDTH, HEIGHT = 1280, 960


def make_pictures(folder, count):
    folder.mkdir(parents=True, exist_ok=True)
    for seed in range(count):
        path = folder / f"sub{seed % 5}" / f"photo_{seed:04d}.jpg"
        if not path.exists():
            save_photo(path, WIDTH, HEIGHT, seed, quality=90)
    crop = folder.parent / f"crop_{count}.png"
    pixels = cv2.imread(str(folder / "sub1" / f"photo_{count // 2 + 1:04d}.jpg"), 0)
    cv2.imwrite(str(crop), pixels[400:700, 500:900])
    return str(crop)


def make_tiny_pictures(folder, count):
    """`count` JPEGs of 64x48 and a crop of one: each item costs the workers almost nothing,
    so what a search of them takes is the pool's own cost per item."""
    folder.mkdir(parents=True, exist_ok=True)
    for seed in range(count):
        path = folder / f"tiny_{seed:04d}.jpg"
        if not path.exists():
            save_photo(path, 64, 48, seed, quality=90)
    crop = folder.parent / f"tiny_crop_{count}.png"
    cv2.imwrite(str(crop), cv2.imread(str(folder / "tiny_0000.jpg"), 0)[8:40, 8:56])
    return str(crop)


def per_item_cost(folder, crop, runs):
    """Median seconds per item of the pool's map in a cropped search over tiny pictures."""
    listing = sil.get_images_absolute_path_recursive_a_directory(folder)
    clock = PoolClock(sil.Pool)
    sil.Pool = clock
    costs = []
    try:
        for _ in range(runs):
            clock.map_seconds = 0.0
            sil.live_search_similar_cropped(crop, listing)
            costs.append(clock.map_seconds / len(listing))
    finally:
        sil.Pool = clock.factory
    return statistics.median(costs)


class PoolClock:
    """Wraps the `Pool` bound in the module and adds up the seconds its pools live."""

    def __init__(self, factory):
        self.factory = factory
        self.seconds = 0.0
        self.map_seconds = 0.0

    def __call__(self, size):
        return _TimedPool(self, size)


class _TimedPool:
    def __init__(self, clock, size):
        self.clock = clock
        self.started = time.perf_counter()
        self.pool = clock.factory(size)

    def __enter__(self):
        self.pool.__enter__()
        return self

    def __exit__(self, *exc):
        return self.pool.__exit__(*exc)

    def map(self, function, items):
        started = time.perf_counter()
        try:
            return self.pool.map(function, items)
        finally:
            self.clock.map_seconds += time.perf_counter() - started

    def close(self):
        self.pool.close()

    def join(self):
        self.pool.join()
        self.clock.seconds += time.perf_counter() - self.started


def forget_folder(cache, keep_index):
    """Removes the cache files, or all but the index and its row manifest: the next build
    then takes the road of a changed folder (index read, fingerprint computed and stored, all
    pictures loaded anew, index written)."""
    for path in cache.iterdir():
        if not (keep_index and path.name.startswith("index.faiss") and "features" not in path.name):
            path.unlink()


def measure(label, folder, crop, cache, runs):
    """Median seconds of a rebuild, its pool share, a cropped search, and a pool that starts,
    loads the module in its workers, matches one picture and ends."""
    clock = PoolClock(sil.Pool)
    sil.Pool = clock
    builds, build_pools, build_maps, crops, crop_maps, starts = [], [], [], [], [], []
    one = sil.get_images_absolute_path_recursive_a_directory(folder)[:1]
    try:
        forget_folder(cache, keep_index=False)
        sil.index_a_directory(folder)  # also brings the pictures into the file cache
        for _ in range(runs):
            forget_folder(cache, keep_index=True)
            clock.seconds = clock.map_seconds = 0.0
            started = time.perf_counter()
            index, rows = sil.index_a_directory(folder)
            builds.append(time.perf_counter() - started)
            build_pools.append(clock.seconds)
            build_maps.append(clock.map_seconds)
            clock.map_seconds = 0.0
            started = time.perf_counter()
            found = sil.cropped_search(crop, folder)
            crops.append(time.perf_counter() - started)
            crop_maps.append(clock.map_seconds)
            started = time.perf_counter()
            sil.live_search_similar_cropped(crop, one)
            starts.append(time.perf_counter() - started)
    finally:
        sil.Pool = clock.factory
    figures = {
        name: statistics.median(values)
        for name, values in (
            ("build", builds),
            ("build pool", build_pools),
            ("build map", build_maps),
            ("crop", crops),
            ("crop map", crop_maps),
            ("pool start", starts),
        )
    }
    print(
        f"{label}: build {figures['build']:.2f} s (pool {figures['build pool']:.2f} s, caller "
        f"{figures['build'] - figures['build pool']:.2f} s), cropped search {figures['crop']:.2f} s, "
        f"pool of one picture {figures['pool start'] * 1000:.0f} ms; {index.ntotal} rows, {len(found)} paths"
    )
    return figures, index.reconstruct_n(0, index.ntotal), [row.image_path for row in rows], found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", type=int, default=250)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument(
        "--workers",
        type=int,
        default=None,
        help="workers of both pools (default: the module's own pool size)",
    )
    parser.add_argument("--project", type=int, default=300_000, help="photographs of the projection")
    parser.add_argument("--nodes", type=int, default=10)
    parser.add_argument("--cores", type=int, default=16, help="cores per node (one worker each)")
    options = parser.parse_args()
    logging.getLogger().setLevel(logging.WARNING)  # the build's log lines are not wanted here

    folder = HERE / "data" / "ray" / f"photos_{options.images}"
    crop = make_pictures(folder, options.images)
    folder = str(folder)
    cache = Path(tempfile.mkdtemp(prefix="bench_ray_"))
    sil.CACHE_METADATA, sil.CACHED_INDEXED = str(cache / "metadata.txt"), str(cache / "index.faiss")
    module_workers = max(1, min((os.cpu_count() or 2) - 1, 5))
    workers = options.workers or module_workers
    if workers != module_workers:
        sil.Pool = lambda _size, _base=sil.Pool: _base(workers)
    print(
        f"{options.images} JPEGs of {WIDTH}x{HEIGHT}, {workers} worker(s) in both pools, "
        f"cpu_count={os.cpu_count()}, median of {options.runs} runs"
    )

    tiny = HERE / "data" / "ray" / f"tiny_{options.images}"
    tiny_crop = make_tiny_pictures(tiny, options.images)
    try:
        local, local_rows, local_paths, local_found = measure("local pool", folder, crop, cache, options.runs)
        local_item = per_item_cost(str(tiny), tiny_crop, options.runs)
        with bind_ray_pool(processes=workers):
            on_ray, ray_rows, ray_paths, ray_found = measure("Ray pool  ", folder, crop, cache, options.runs)
            ray_item = per_item_cost(str(tiny), tiny_crop, options.runs)
    finally:
        shutil.rmtree(cache, ignore_errors=True)
    print(
        f"pool cost per item ({options.images} pictures of 64x48): local {local_item * 1000:.2f} ms, "
        f"Ray {ray_item * 1000:.2f} ms: Ray adds {(ray_item - local_item) * 1000:.2f} ms per picture"
    )
    same = (local_rows == ray_rows).all() and local_paths == ray_paths and local_found == ray_found
    print(f"same index rows, paths and crop results: {bool(same)}")

    count = options.images
    print(
        f"pool start, one picture, end: local {local['pool start'] * 1000:.0f} ms, "
        f"Ray {on_ray['pool start'] * 1000:.0f} ms"
    )
    for step, name in (("build map", "load_images"), ("crop map", "cropped search")):
        print(
            f"map in {name}: local {local[step]:.2f} s, Ray {on_ray[step]:.2f} s: Ray adds "
            f"{(on_ray[step] - local[step]) / count * 1000:+.1f} ms per picture on "
            f"{local[step] / count * workers * 1000:.1f} ms of one worker's work"
        )

    serial = local["build"] - local["build pool"]
    print(
        f"serial part of a build in the caller: {serial:.2f} s = {serial / local['build'] * 100:.1f} % "
        f"of the local build, {serial / count * 1000:.2f} ms per picture"
    )

    # Projection: the caller's serial part grows with the number of pictures; the pool work
    # (the local per-picture cost plus Ray's per-picture overhead) is shared by every core of
    # the cluster; one Ray pool start is paid once.
    work = on_ray["build map"] / count * workers  # one worker's seconds per picture
    local_work = local["build map"] / count * workers
    cluster_workers = options.nodes * options.cores
    projected_pool = options.project * work / cluster_workers + on_ray["pool start"]
    projected_serial = options.project * serial / count
    print(
        f"projection, {options.project:,} pictures on {options.nodes} nodes x {options.cores} cores: "
        f"pool work {projected_pool / 60:.1f} min + caller's serial part {projected_serial / 60:.1f} min "
        f"= {(projected_pool + projected_serial) / 60:.1f} min "
        f"(one machine with the module's own pool of 5 workers: "
        f"{(options.project * local_work / 5 + projected_serial) / 3600:.1f} h)"
    )


if __name__ == "__main__":
    main()
