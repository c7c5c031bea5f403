"""The verified search's reading pool on the quality benchmark's 155 photographs: the caller's
processor time while a pool of two workers reads them all, and the wall time, for multiprocessing's
own Pool (whose worker-handler thread wakes while results wait in the pipe) and for the search's
QuietPool, each with one picture a task and with four.

    .venv/bin/python bench/bench_verified_reading_pool.py [--runs 5] [--method forkserver]

Uses the folder of bench_verified_quality.py (made by it, or by bench_verified_first_query.py).
Every run starts a fresh pool per road, the roads taking turns; the features read are checked
to be the same on every road. Prints per road the medians of the caller's processor time (all
its threads: the pool's handler threads are the caller's), of the worker-handler thread's
alone, and of the wall time, with the load average.
"""

import argparse
import multiprocessing
import multiprocessing.pool
import os
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def thread_seconds(thread):
    """Processor time of a running thread, from /proc."""
    try:
        with open(f"/proc/self/task/{thread.native_id}/stat") as status:
            fields = status.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def read_all(pool_class, context, jobs, chunk):
    from PIL import Image

    from search_index_tools.pool_watch import watched_imap
    from search_index_tools.verified import search
    from search_index_tools.verified.features import picture_features

    start, own = time.perf_counter(), time.process_time()
    with pool_class(2, search._start_worker, (Image.MAX_IMAGE_PIXELS,), context=context) as pool:
        read = list(watched_imap(pool, picture_features, jobs, chunk))
        handler = thread_seconds(pool._worker_handler)
    return read, time.process_time() - own, handler, time.perf_counter() - start


def fingerprint(read):
    return [
        (path, result.features.points.tobytes(), result.features.descriptors.tobytes())
        for path, result in (item for item in read if item is not None)
        if result.features is not None
    ]


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--method", default="forkserver")
    args = parser.parse_args()
    sys.path.insert(0, str(HERE))
    from bench_verified_quality import DATA

    from search_index_tools.verified import reading_pool, search

    paths = sorted(str(path) for path in (DATA / "folder").rglob("*") if path.is_file())
    if not paths:
        sys.exit(f"no pictures under {DATA / 'folder'}: run bench_verified_quality.py first")
    jobs = [(path, search.PICTURE_SETTINGS, search.THUMBNAIL_SETTINGS) for path in paths]
    context = multiprocessing.get_context(args.method)
    roads = [
        ("Pool, 4 a task", multiprocessing.pool.Pool, 4),
        ("QuietPool, 4 a task", reading_pool.QuietPool, 4),
        ("QuietPool, 1 a task", reading_pool.QuietPool, 1),
    ]
    figures = {name: [] for name, _, _ in roads}
    reference = None
    for run in range(args.runs):
        for name, pool_class, chunk in roads:
            read, caller, handler, wall = read_all(pool_class, context, jobs, chunk)
            found = fingerprint(read)
            reference = found if reference is None else reference
            if found != reference:
                sys.exit(f"{name}: the features differ from the first road's")
            figures[name].append((caller, handler, wall))
        print(
            f"run {run + 1}:",
            ", ".join(
                f"{name} {values[-1][0]:.3f} s ({values[-1][2]:.2f} s wall)"
                for name, values in figures.items()
            ),
            f"load {os.getloadavg()[0]:.1f}",
            flush=True,
        )
    print(f"{len(paths)} pictures, {len(reference)} with features, the same on every road ({args.method})")
    for name, values in figures.items():
        caller, handler, wall = (statistics.median(column) for column in zip(*values))
        print(f"{name}: caller {caller:.3f} s, of it the worker handler {handler:.3f} s; wall {wall:.2f} s")


if __name__ == "__main__":
    main()
