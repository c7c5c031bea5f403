"""The verified cropped search's first query on a folder never seen, next to the module's
`cropped_search` on it, each in a process of its own (as a user's command meets them).

    .venv/bin/python bench/bench_verified_first_query.py [--runs 3] [--source DIR ...]

Uses the folder and crops of bench_verified_quality.py, made here when that has not run yet. Every run times, taking
turns so that all meet the same load: `cropped_search` without its feature store, then the
verified search without its feature store and candidate index, once for the installed
package and once for every --source DIR (a source tree whose search_index_tools is imported
instead: the road without a change, or with it). Only the call is timed, not the start of the
process. Prints the medians, the ratios to `cropped_search` and the load average.

With --cpu, each run also adds up the processor time the search used: the calling process's
own (less that of the thread which takes the count) and that of every process it started
(pool workers, the fork server), read from /proc every 50 ms while the search runs. On a
machine whose processors are all busy, the times of two roads compare as these totals do.
"""

import argparse
import os
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

CHILD = """
import os, sys, threading, time
sys.path.insert(0, {bench!r})
import search_index_lib as sil
from bench_verified_quality import DATA, PLAIN_STORE_SUFFIX, remove_store
from search_index_tools.verified.search import STORE_SUFFIX, WORDS_SUFFIX, verified_cropped_search

def main():
    sil.CACHED_INDEXED = os.path.join({work!r}, "index.faiss")
    sil.CACHE_METADATA = os.path.join({work!r}, "metadata.txt")
    for suffix in (STORE_SUFFIX, WORDS_SUFFIX, PLAIN_STORE_SUFFIX):
        remove_store(suffix)
    search = sil.cropped_search if {plain!r} else verified_cropped_search
    counted, done, counting = {{}}, threading.Event(), [0.0]

    def count():
        while not done.wait(0.05):
            started_processes_cpu(os.getpid(), counted)
        counting[0] = time.thread_time()

    counter = threading.Thread(target=count)
    if {cpu!r}:
        counter.start()
    start, own = time.perf_counter(), time.process_time()
    found = search({crop!r}, str(DATA / "folder"))
    seconds, own = time.perf_counter() - start, time.process_time() - own
    done.set()
    if {cpu!r}:
        counter.join()
    print(own - counting[0], sum(counted.values()), seconds, len(found))


def started_processes_cpu(root, counted):
    # Records in counted the processor time so far of every process below root.
    tick, below = os.sysconf("SC_CLK_TCK"), {{}}
    for name in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{{name}}/stat") as status:
                fields = status.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        below.setdefault(int(fields[1]), []).append((int(name), (int(fields[11]) + int(fields[12])) / tick))
    waiting = [root]
    while waiting:
        for pid, seconds in below.get(waiting.pop(), []):
            counted[pid] = max(counted.get(pid, 0.0), seconds)
            waiting.append(pid)

if __name__ == "__main__":
    main()
"""


def timed_child(crop, work, plain, source, cpu=False):
    environment = dict(os.environ)
    if source is not None:
        environment["PYTHONPATH"] = source
    code = CHILD.format(bench=str(HERE), work=work, plain=plain, crop=crop, cpu=cpu)
    script = Path(work) / "child.py"
    script.write_text(code)
    done = subprocess.run(
        [sys.executable, str(script)], env=environment, check=True, capture_output=True, text=True
    )
    own, started, seconds, _ = done.stdout.split()[-4:]
    return float(seconds), float(own) + float(started)


def made_folder_and_crops(count=5, seed=7):
    """The quality benchmark's folder and the first of its crops (`make bench` runs this
    script before that one)."""
    import numpy as np
    from bench_verified_quality import DATA, build_folder, cut_crops

    _, _, group_of, _ = build_folder()
    made = cut_crops(sorted(group_of), count, np.random.default_rng(seed), DATA / "crops", "crop")
    return [path for path, *_ in made]


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--source", action="append", default=[], help="a source tree to compare")
    parser.add_argument("--work", default=str(HERE / "data" / "first_query"))
    parser.add_argument("--cpu", action="store_true", help="also the processor time of every search")
    args = parser.parse_args()
    sys.path.insert(0, str(HERE))
    from bench_verified_quality import DATA

    crops = sorted(str(path) for path in (DATA / "crops").glob("crop_*.jpg"))
    if not crops:
        crops = made_folder_and_crops()
    Path(args.work).mkdir(parents=True, exist_ok=True)
    roads = [("cropped_search", True, None), ("verified (installed)", False, None)]
    roads += [(f"verified ({source})", False, source) for source in args.source]
    times = {name: [] for name, _, _ in roads}
    processor = {name: [] for name, _, _ in roads}
    for run in range(args.runs):
        for name, plain, source in roads:
            seconds, cpu = timed_child(crops[run % len(crops)], args.work, plain, source, args.cpu)
            times[name].append(seconds)
            processor[name].append(cpu)
        print(
            "run",
            run + 1,
            Path(crops[run % len(crops)]).name,  # smooth crops add the pixel stage's scan
            ", ".join(
                f"{name} {times[name][-1]:.2f} s"
                + (f" ({processor[name][-1]:.2f} s cpu)" if args.cpu else "")
                for name in times
            ),
            f"load {os.getloadavg()[0]:.1f}",
            flush=True,
        )
    plain = statistics.median(times["cropped_search"])
    plain_cpu = statistics.median(processor["cropped_search"])
    for name, values in times.items():
        median = statistics.median(values)
        print(f"{name}: median {median:.2f} s of {len(values)} ({median / plain:.2f} times cropped_search)")
        if args.cpu:
            cpu = statistics.median(processor[name])
            print(f"    processor time: median {cpu:.2f} s ({cpu / plain_cpu:.2f} times cropped_search)")


if __name__ == "__main__":
    main()
