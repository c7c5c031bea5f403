"""The duplicate finder on large folders of real picture files: a first scan, an unchanged
folder (the scan reads no picture), and a folder where a few files changed, at 20,000 and
100,000 pictures, with peak memory; and a first scan against an index build.

    .venv/bin/python bench/bench_duplicates_scale.py generate [--count 100000]
    .venv/bin/python bench/bench_duplicates_scale.py measure [--sizes 20000 100000] [--runs 3]
    .venv/bin/python bench/bench_duplicates_scale.py first FOLDER [--runs 3] [--against PACKAGE_DIR]
    .venv/bin/python bench/bench_duplicates_scale.py phases [--size 20000] [--against PACKAGE_DIR]

`generate` writes small photo-like JPEGs (160 x 120 and about, 1,000 per sub-folder) under
DATA_ROOT (outside the repository); every tenth picture is an edited copy of the one before
it (resized, recompressed, brighter, mirrored), so the groups found can be counted. A size
of N pictures is the first N / 1,000 sub-folders.

`measure` runs each scan in a child process (so its peak memory, the maximum resident size,
is its own) with a cache folder of its own per size: the first scan fills the store, then
the unchanged scans take turns with scans that keep no decisions (the road without them:
every picture's thumbnail loaded, the candidate search and every verification made again),
medians of `--runs`; then a few files are changed, removed and copied, and the scan after
that is timed.

`phases` times the steps of one first scan (a fresh cache folder, in a child process): the
listing, the reading, the candidate search, the comparisons, what the store keeps; and counts
the candidate pairs and those found the same picture.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from PIL import Image

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

DATA_ROOT = Path(os.environ.get("DUPLICATES_SCALE_DATA", HERE.parent.parent / "data_h21s"))
PER_FOLDER = 1000
COPY_EVERY = 10
SIDE = (160, 120)


def _copy(picture: Image.Image, number: int) -> Image.Image:
    from PIL import Image, ImageEnhance, ImageOps

    edits = number // COPY_EVERY % 4
    if edits == 0:
        return picture.resize((SIDE[0] * 2 // 3, SIDE[1] * 2 // 3), Image.Resampling.LANCZOS)
    if edits == 1:
        return ImageEnhance.Brightness(picture).enhance(1.25)
    if edits == 2:
        return ImageOps.mirror(picture)
    return picture.convert("L")


def _picture(seed: int) -> Image.Image:
    """A photo-like picture with detail at every scale: random colour cells (12 x 16, smoothly
    joined), sharp-edged shapes and grain. Detail finer than the photo-like pictures of the
    tests keeps chance neighbours among 100,000 pictures as rare as in a real library."""
    import numpy as np
    from PIL import Image, ImageDraw

    rng = np.random.default_rng(seed)
    cells = rng.integers(0, 256, size=(12, 16, 3), dtype=np.uint8)
    picture = Image.fromarray(cells).resize(SIDE, Image.Resampling.BICUBIC)
    draw = ImageDraw.Draw(picture)
    for _ in range(8):
        x, y = int(rng.integers(0, SIDE[0])), int(rng.integers(0, SIDE[1]))
        w, h = int(rng.integers(6, SIDE[0] // 4)), int(rng.integers(6, SIDE[1] // 4))
        colour = tuple(int(value) for value in rng.integers(0, 256, 3))
        (draw.ellipse if rng.integers(0, 2) else draw.rectangle)((x, y, x + w, y + h), fill=colour)
    grain = rng.integers(-12, 13, size=(SIDE[1], SIDE[0], 3), dtype=np.int16)
    return Image.fromarray(np.clip(np.asarray(picture, dtype=np.int16) + grain, 0, 255).astype(np.uint8))


def picture_path(root: Path, number: int) -> Path:
    return root / f"d{number // PER_FOLDER:03d}" / f"p{number:06d}.jpg"


def generate(count: int) -> None:
    root = DATA_ROOT / "library"
    started = time.perf_counter()
    previous = None
    for number in range(count):
        path = picture_path(root, number)
        if number % PER_FOLDER == 0:
            path.parent.mkdir(parents=True, exist_ok=True)
            print(f"{number} pictures written in {time.perf_counter() - started:.0f} s", flush=True)
        if number % COPY_EVERY == COPY_EVERY - 1 and previous is not None:
            picture = _copy(previous, number)
        else:
            picture = _picture(1_000_000 + number)
            previous = picture
        if path.exists():
            continue
        data = io.BytesIO()
        picture.save(data, "JPEG", quality=85)
        temporary = path.with_suffix(".part")
        temporary.write_bytes(data.getvalue())
        os.replace(temporary, path)
    print(f"{count} pictures under {root} in {time.perf_counter() - started:.0f} s")


CHILD = """
import hashlib, json, os, resource, sys, time
sys.path.insert(0, {tests!r})
import search_index_lib as sil
sil.CACHED_INDEXED = {index!r}
sil.CACHE_METADATA = {metadata!r}
from search_index_tools.duplicates import finder
folders = {folders!r}
started = time.perf_counter()
if {road!r} == "without kept decisions":
    # The road before decisions were kept: every stored read loaded, thumbnails and all, and
    # every candidate searched and compared again.
    listing = finder._listing(sil, folders)
    identities = finder._identities(listing)
    store = finder.PictureStore(str(sil.CACHED_INDEXED) + finder.STORE_SUFFIX)
    reads = store.lookup(identities)
    store.close()
    assert len(reads) == len(identities), "the store must hold every picture"
    pictures, _ = finder._usable(identities, reads)
    groups = finder._groups(pictures, finder.parse_similarity(finder.DEFAULT_SIMILARITY),
                            finder.parse_rule(finder.DEFAULT_RULE), [])
    result = dict(read=0, from_store=len(reads), searched=len(pictures), verified=None)
else:
    scan = finder.scan_duplicates(folders)
    groups = scan.groups
    result = dict(read=scan.read, from_store=scan.from_store, searched=scan.searched, verified=scan.verified)
result.update(seconds=time.perf_counter() - started, groups=len(groups),
              members=sum(len(group.members) for group in groups),
              peak_mb=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
              signature=hashlib.blake2b(repr([(g.keep, g.paths, [(m.distance, m.transform) for m in g.members])
                                             for g in groups]).encode(), digest_size=6).hexdigest())
print(json.dumps(result))
"""


PHASES_CHILD = """
import hashlib, json, sys, time
sys.path.insert(0, {tests!r})
import search_index_lib as sil
sil.CACHED_INDEXED = {index!r}
sil.CACHE_METADATA = {metadata!r}
from search_index_tools.duplicates import finder, kept_decisions, kept_grouping, store
import resource
spent, processor, calls = {{}}, {{}}, {{}}

def used():
    # Processor time of this process (every thread) and of its finished children (the pool).
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime

def timed(owner, name, label):
    inner = getattr(owner, name)
    def wrapper(*args, **kwargs):
        started, cpu = time.perf_counter(), used()
        try:
            return inner(*args, **kwargs)
        finally:
            spent[label] = spent.get(label, 0.0) + time.perf_counter() - started
            processor[label] = processor.get(label, 0.0) + used() - cpu
            calls[label] = calls.get(label, 0) + 1
    setattr(owner, name, wrapper)

for owner, name, label in [
    (finder, "_listing", "listing"), (finder, "_identities", "file identities"),
    (store.PictureStore, "lookup_entries", "store lookup"), (finder, "_read", "reading"),
    (store.PictureStore, "store", "store: reads kept"), (store.PictureStore, "prune", "store: pruned"),
    (kept_grouping, "_kinds", "kinds and search vectors"),
    # The searches run side by side where _candidates_of is (a package before it: one by one).
    (kept_grouping, "_candidates_of", "candidate search") if hasattr(kept_grouping, "_candidates_of")
    else (kept_grouping._KindSearch, "candidates", "candidate search"),
    (kept_grouping, "_verify_all", "comparisons"),
    (kept_decisions.KeptDecisions, "verdicts", "kept verdicts read"),
    (kept_decisions.KeptDecisions, "keep_verdicts", "verdicts kept"),
    (kept_decisions.KeptDecisions, "keep_scan", "candidate lists kept"),
    (kept_decisions.KeptDecisions, "prune", "decisions pruned"),
    (finder, "_grouped", "groups and relations"),
]:
    timed(owner, name, label)
verified = []
inner_verify = kept_grouping._verify_all
def counting(pictures, thumbnails, unknown, threshold, run, *rest):
    found = inner_verify(pictures, thumbnails, unknown, threshold, run, *rest)
    verified.append((len(found), sum(verdict.same for verdict in found.values())))
    return found
kept_grouping._verify_all = counting
started, cpu = time.perf_counter(), used()
scan = finder.scan_duplicates({folders!r})
total, total_cpu = time.perf_counter() - started, used() - cpu
signature = hashlib.blake2b(repr([(g.keep, g.paths, [(m.distance, m.transform) for m in g.members])
                                 for g in scan.groups]).encode(), digest_size=6).hexdigest()
print(json.dumps(dict(total=total, total_cpu=total_cpu, spent=spent, processor=processor, calls=calls,
                      groups=len(scan.groups), signature=signature,
                      compared=sum(n for n, _ in verified), same=sum(s for _, s in verified))))
"""


def phases(size: int, against: Path | None = None) -> None:
    """The steps of one first scan of `size` pictures, timed; with `against`, by the
    search_index_tools package in that folder."""
    import shutil
    import tempfile

    print(f"load: {os.getloadavg()}", flush=True)
    with tempfile.TemporaryDirectory(dir=DATA_ROOT) as cache:
        code = PHASES_CHILD.format(
            tests=str(HERE.parent / "tests"),
            index=str(Path(cache) / "index.faiss"),
            metadata=str(Path(cache) / "metadata.txt"),
            folders=[str(DATA_ROOT / "library" / f"d{number:03d}") for number in range(size // PER_FOLDER)],
        )
        env = dict(os.environ, PYTHONPATH=str(against)) if against else None
        out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, env=env)
        shutil.rmtree(cache, ignore_errors=True)
    if out.returncode != 0:
        raise RuntimeError(out.stderr)
    result = json.loads(out.stdout.strip().splitlines()[-1])
    print(
        f"first scan of {size} pictures: {result['total']:.2f} s ({result['total_cpu']:.2f} s of "
        f"processor time), {result['groups']} groups, {result['compared']} candidate pairs "
        f"compared, {result['same']} the same picture; groups' signature {result['signature']}"
    )
    print(f"  {'step':28} {'time':>9} {'processor':>11}")
    for label, seconds in sorted(result["spent"].items(), key=lambda item: -item[1]):
        cpu = result["processor"][label]
        print(f"  {label:28} {seconds:7.2f} s {cpu:9.2f} s  ({result['calls'][label]} calls)")
    print(f"load: {os.getloadavg()}")


def run_scan(size: int, road: str) -> dict[str, Any]:
    cache = DATA_ROOT / f"cache_{size}"
    cache.mkdir(parents=True, exist_ok=True)
    folders = [str(DATA_ROOT / "library" / f"d{number:03d}") for number in range(size // PER_FOLDER)]
    code = CHILD.format(
        tests=str(HERE.parent / "tests"),
        index=str(cache / "index.faiss"),
        metadata=str(cache / "metadata.txt"),
        folders=folders,
        road=road,
    )
    # -P: the installed package, with its native parts, not the source folder.
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(out.stderr)
    result: dict[str, Any] = json.loads(out.stdout.strip().splitlines()[-1])
    print(f"  {road}: {result}", flush=True)
    return result


def _median(results: list[dict[str, Any]], key: str) -> str:
    values = [result[key] for result in results]
    return f"{statistics.median(values):.2f} ({', '.join(f'{value:.2f}' for value in values)})"


def change_a_few(size: int, count: int = 10) -> list[tuple[Path, Path]]:
    """Rewrites `count` pictures (each becomes a copy of another), moves `count` aside and adds
    `count` mirrored copies; returns what to undo (moved file, its place). The rewritten
    pictures are kept aside first, so that putting back leaves the library as it was and the
    next run finds the same groups."""
    import shutil

    from PIL import Image, ImageOps

    root = DATA_ROOT / "library"
    aside = DATA_ROOT / "aside"
    aside.mkdir(exist_ok=True)
    step = size // (3 * count)
    undo = []
    for slot in range(count):
        changed, removed, copied = (picture_path(root, (3 * slot + offset) * step + 1) for offset in range(3))
        original = aside / f"original_{changed.name}"
        shutil.copy2(changed, original)
        undo.append((original, changed))
        with Image.open(picture_path(root, (3 * slot + 2) * step + 3)) as source:
            source.convert("RGB").save(changed, quality=70)
        os.replace(removed, aside / removed.name)
        undo.append((aside / removed.name, removed))
        with Image.open(copied) as source:
            target = copied.with_name(f"added_{copied.name}")
            ImageOps.mirror(source.convert("RGB")).save(target, quality=80)
        undo.append((target, Path()))
    return undo


def put_back(undo: list[tuple[Path, Path]]) -> None:
    for moved, place in undo:
        if place == Path():
            moved.unlink()
        else:
            os.replace(moved, place)


def measure(sizes: list[int], runs: int, without_runs: list[int], reuse: bool = False) -> None:
    print(f"load: {os.getloadavg()}")
    for size, slow_runs in zip(sizes, without_runs + [runs] * len(sizes)):
        print(f"{size} pictures:", flush=True)
        cache = DATA_ROOT / f"cache_{size}"
        if reuse and cache.exists():
            # The store a first scan of these pictures left: the scan that refills it after
            # the last run's changes were put back stands in for the first scan.
            first = run_scan(size, "scan after the last run's changes were put back")
        else:
            if cache.exists():
                for stale in cache.iterdir():
                    stale.unlink()
            first = run_scan(size, "first scan")
        kept, without = [], []
        for run in range(runs):
            kept.append(run_scan(size, "unchanged, kept decisions"))
            if run < slow_runs:
                without.append(run_scan(size, "without kept decisions"))
        assert all(result["signature"] == first["signature"] for result in kept + without), (
            "the groups differ"
        )
        undo = change_a_few(size)
        try:
            changed = run_scan(size, "10 changed, 10 removed, 10 added")
        finally:
            put_back(undo)
        print(
            f"  first scan {first['seconds']:.1f} s, peak {first['peak_mb']:.0f} MB; "
            f"unchanged: kept decisions {_median(kept, 'seconds')} s, peak {max(r['peak_mb'] for r in kept):.0f} MB; "
            + (
                f"without them {_median(without, 'seconds')} s, peak {max(r['peak_mb'] for r in without):.0f} MB; "
                if without
                else ""
            )
            + f"after a few changes {changed['seconds']:.2f} s ({changed['searched']} searched, "
            f"{changed['verified']} pairs compared); load {os.getloadavg()}",
            flush=True,
        )


def first_scans(folder: Path, runs: int, against: Path | None = None) -> None:
    """`find-images duplicates` against `find-images index` on a folder neither has seen
    (a fresh cache folder each run, the module's feature store off), taking turns. With
    `against` (a folder holding another search_index_tools package, such as a copy of an
    earlier build's), `duplicates` with that package first on the path takes its turn too,
    and the two packages' JSON must be the same but for the elapsed time."""
    import shutil
    import tempfile

    from bench_find_images_workers import FIND_IMAGES, SETTINGS

    print(
        f"load: {os.getloadavg()}; {sum(1 for path in folder.rglob('*') if path.is_file())} files in {folder}"
    )
    roads = ["index", "duplicates"] + (["duplicates (other package)"] if against else [])
    times: dict[str, list[float]] = {road: [] for road in roads}
    processor: dict[str, list[float]] = {road: [] for road in roads}
    outputs: set[str] = set()
    with tempfile.TemporaryDirectory() as work:
        settings = Path(work) / "settings"
        settings.mkdir()
        (settings / "constants.py").write_text(SETTINGS)
        cache = Path(work) / "cache"
        for run in range(runs):
            for road in roads[run % len(roads) :] + roads[: run % len(roads)]:
                shutil.rmtree(cache, ignore_errors=True)
                cache.mkdir()
                path = (
                    f"{against}{os.pathsep}{settings}" if road.endswith("(other package)") else str(settings)
                )
                env = dict(
                    os.environ, BENCH_CACHE=str(cache), SEARCH_INDEX_LIB_FEATURE_STORE="off", PYTHONPATH=path
                )
                command = [str(FIND_IMAGES), "--settings", str(settings), "--quiet"]
                command += (
                    ["index", str(folder)] if road == "index" else ["duplicates", "--json", str(folder)]
                )
                started, cpu = time.perf_counter(), _children_cpu()
                done = subprocess.run(command, env=env, capture_output=True, text=True)
                times[road].append(time.perf_counter() - started)
                processor[road].append(_children_cpu() - cpu)
                if done.returncode not in (0, 1):
                    raise RuntimeError(done.stderr)
                if road != "index":
                    found = json.loads(done.stdout)
                    found.pop("elapsed_seconds")
                    outputs.add(json.dumps(found, sort_keys=True))
                print(
                    f"  {road}: {times[road][-1]:.2f} s, {processor[road][-1]:.2f} s of processor time",
                    flush=True,
                )
    index, index_cpu = statistics.median(times["index"]), statistics.median(processor["index"])
    print(
        f"find-images index {index:.2f} s ({', '.join(f'{t:.2f}' for t in times['index'])}), {index_cpu:.2f} s "
        f"of processor time ({', '.join(f'{t:.2f}' for t in processor['index'])})"
    )
    for road in roads[1:]:
        wall, cpu = statistics.median(times[road]), statistics.median(processor[road])
        print(
            f"find-images {road} {wall:.2f} s ({', '.join(f'{t:.2f}' for t in times[road])}), {cpu:.2f} s of "
            f"processor time ({', '.join(f'{t:.2f}' for t in processor[road])}): {wall / index:.2f} / "
            f"{cpu / index_cpu:.2f} times the index build's"
        )
    print(f"the same JSON (but the elapsed time) in every run: {len(outputs) == 1}; load {os.getloadavg()}")


def _children_cpu() -> float:
    """Processor time of the finished child processes (and theirs, once waited for)."""
    import resource

    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    make = commands.add_parser("generate")
    make.add_argument("--count", type=int, default=100_000)
    timing = commands.add_parser("measure")
    timing.add_argument("--sizes", type=int, nargs="*", default=[20_000, 100_000])
    timing.add_argument("--runs", type=int, default=3)
    timing.add_argument("--reuse", action="store_true", help="keep the store an earlier run left")
    timing.add_argument(
        "--without-runs",
        type=int,
        nargs="*",
        default=[],
        help="runs of the road without kept decisions, per size (default: --runs); "
        "it takes minutes at 100,000 pictures",
    )
    first = commands.add_parser("first", help="a first scan against an index build, on a folder")
    first.add_argument("folder", type=Path)
    first.add_argument("--runs", type=int, default=3)
    first.add_argument("--against", type=Path, help="a folder holding another search_index_tools package")
    steps = commands.add_parser("phases", help="the steps of one first scan, timed")
    steps.add_argument("--size", type=int, default=20_000)
    steps.add_argument("--against", type=Path, help="a folder holding another search_index_tools package")
    args = parser.parse_args()
    if args.command == "generate":
        generate(args.count)
    elif args.command == "first":
        first_scans(args.folder, args.runs, args.against)
    elif args.command == "phases":
        phases(args.size, args.against)
    else:
        measure(args.sizes, args.runs, args.without_runs, args.reuse)


if __name__ == "__main__":
    main()
