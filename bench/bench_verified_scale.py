"""Warm queries of the verified cropped search over large libraries, through its candidate index.

    .venv/bin/python bench/bench_verified_scale.py [--sizes 20000 100000] [--crops 5] [--runs 3]
                                                  [--data DIR]

Needs the real photographs of bench_verified_quality.py (run it once first; its folder is reused).
For each size N a library of N files is laid out in DIR/N/library (default DIR:
bench/data/verified_scale): the real pictures (copies) and N - (their count) generated files,
hard links of one small noise picture per sub-folder of 1,000 (--features-only: lay out the
libraries and fill their feature stores only, the longest step, to be started early). Reading and describing N photographs would take hours on
this machine, so the generated files get their stored entries synthetically, of a photograph's
size, through the stores' own code:

- in the candidate index, 3,000 terms each, drawn at random from the real pictures' own terms
  (so their words are as common as real ones, and they share terms with the real pictures by
  chance, as unrelated photographs do);
- in the feature store, the features and thumbnails of one of the held-out photographs (which
  are in no library, so a generated file proposed as a candidate fits no crop).

The real pictures are read and indexed for real (one search of their sub-folder first, so the
vocabulary is drawn from real photographs). The queries are edited crops (cut like the quality
benchmark's) of the real pictures: an answer is right when its first result is of the crop's
photograph.

Each size is measured in a child process of its own, as a user's process would meet it: the
first query (it reads the candidate index file), the warm queries' median, the share of right
answers, the process's peak resident memory, and the sizes of the two store files. The load
average is printed with every line: timings on a shared machine are noisy.
"""

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import numpy as np  # noqa: E402
from bench_verified_quality import build_folder, cut_crops, rank_of  # noqa: E402
from PIL import Image  # noqa: E402

import search_index_lib as sil  # noqa: E402
from search_index_tools.file_identity import file_identity  # noqa: E402
from search_index_tools.verified import candidates as verified_candidates  # noqa: E402
from search_index_tools.verified import features as verified_features  # noqa: E402
from search_index_tools.verified import search as verified_search  # noqa: E402
from search_index_tools.verified.cache import FeatureCache  # noqa: E402

TERMS_PER_PICTURE = 3000
PER_FOLDER = 1000
STORE_BATCH = 500
WORDS_SLICE = 25_000


def lay_out(root, size, real_pictures):
    """The library folder of `size` files under `root`, and the path of each real picture in it."""
    done = root / "laid-out"
    folder = root / "library"
    real = {
        path: str(folder / "real" / f"{number:04d}_{Path(path).name}")
        for number, path in enumerate(real_pictures)
    }
    if not done.exists():
        shutil.rmtree(root, ignore_errors=True)
        (folder / "real").mkdir(parents=True)
        # Copies, not links: a new link changes the file's change time, which would make every
        # other library's stored entries of it stale.
        for source, target in real.items():
            shutil.copy2(source, target)
        # One small noise picture per sub-folder, linked into it (a file takes only so many links).
        for number in range(size - len(real)):
            sub = folder / "generated" / f"{number // PER_FOLDER:03d}"
            if number % PER_FOLDER == 0:
                sub.mkdir(parents=True)
                noise = root / f"noise_{number // PER_FOLDER:03d}.png"
                pixels = np.random.default_rng(number).integers(0, 256, (48, 64), dtype=np.uint8)
                Image.fromarray(pixels).save(noise)
            os.link(noise, sub / f"{number:06d}.png")
        done.touch()
    return str(folder), real


def populate_features(root, folder, held_paths):
    """Gives every generated file its synthetic feature-store entry, once (the longest step at
    100,000 pictures: it writes about 16 GB; the candidate index is done apart, below)."""
    done = root / "features-stored"
    if done.exists():
        return
    generated = sorted(str(path) for path in Path(folder, "generated").rglob("*.png"))
    settings_key = verified_search._store_key()
    held = [
        verified_features.picture_features(
            (path, verified_search.PICTURE_SETTINGS, verified_search.THUMBNAIL_SETTINGS)
        )[1]
        for path in held_paths
    ]
    store = FeatureCache(str(sil.CACHED_INDEXED) + verified_search.STORE_SUFFIX)
    identities = {}  # the files of a sub-folder are links of one file: one identity
    batch = []
    for number, path in enumerate(generated):
        sub = os.path.dirname(path)
        identity = identities.get(sub) or identities.setdefault(sub, file_identity(path))
        batch.append((path, held[number % len(held)]._replace(identity=identity)))
        if len(batch) >= STORE_BATCH:
            store.store(batch, settings_key)
            batch = []
    store.store(batch, settings_key)
    store.close()
    done.touch()


def populate_words(folder, rng):
    """Indexes the real pictures for real (one search of their folder), then gives every
    generated file its synthetic terms in the candidate index, unless it has them already."""
    words_file = str(sil.CACHED_INDEXED) + verified_search.WORDS_SUFFIX
    word_store = verified_search.WordStore(words_file)
    index = word_store.load()
    generated = sorted(str(path) for path in Path(folder, "generated").rglob("*.png"))
    if index is not None and all(index.entry(path) is not None for path in generated[::997]):
        word_store.close()
        return
    real_folder = str(Path(folder, "real"))
    some_picture = next(Path(real_folder).iterdir())
    verified_search.verified_cropped_search(str(some_picture), real_folder)
    index = word_store.load()
    real_terms = [(words, marks) for _, words, marks in index.all_terms()]
    words = np.concatenate([terms[0] for terms in real_terms])
    marks = np.concatenate([terms[1] for terms in real_terms])
    keys: dict[str, str] = {}  # per sub-folder, as the identities above
    # Added and merged a slice at a time: a merge stores the main part and lets go of it, so
    # the terms of the whole library are never all in memory at once.
    for first in range(0, len(generated), WORDS_SLICE):
        for path in generated[first : first + WORDS_SLICE]:
            sub = os.path.dirname(path)
            key = keys.get(sub) or keys.setdefault(sub, verified_search._file_key(file_identity(path)))
            drawn = rng.integers(0, len(words), TERMS_PER_PICTURE)
            pairs = np.unique(
                words[drawn].astype(np.uint64) << np.uint64(32) | marks[drawn].astype(np.uint64)
            )
            index.add(
                path,
                key,
                (64, 48),
                (pairs >> np.uint64(32)).astype(np.uint32),
                (pairs & np.uint64(0xFFFFFFFF)).astype(np.uint32),
                merge=False,
            )
        index._merge()
        word_store.save(index, generated[first : first + WORDS_SLICE], [])
        print(f"  {first + WORDS_SLICE} generated pictures indexed", flush=True)
    word_store.close()


def peak_memory_mb():
    """This process's peak resident memory. Linux's VmHWM is this process image's own;
    getrusage's maximum would also count the parent's peak from before the child's exec."""
    try:
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def measure(args):
    """One size, in this (child) process: prints one JSON line of figures."""
    root = Path(args.data) / str(args.measure)
    sil.CACHED_INDEXED = str(root / "index.faiss")
    sil.CACHE_METADATA = str(root / "metadata.txt")
    folder = str(root / "library")
    # The queries were cut by the parent: the peak memory below is the searches' own.
    queries = json.loads(Path(args.data, "queries.json").read_text())
    crops, group_of, group_in_library = queries["crops"], queries["group_of"], queries["group_in_library"]
    start = time.perf_counter()
    verified_search.verified_cropped_search(crops[0][0], folder)
    first = time.perf_counter() - start
    times, right = [], 0
    for crop, source, _ in crops:
        for _ in range(args.runs):
            start = time.perf_counter()
            results = verified_search.verified_cropped_search(crop, folder)
            times.append(time.perf_counter() - start)
        right += rank_of(results, group_of[source], group_in_library) == 1
    # One picture added to the library: the next query, beside reading that picture alone.
    added_query = read_alone = float("nan")
    if queries.get("held"):
        added = Path(folder) / "added" / Path(queries["held"][0]).name
        added.parent.mkdir(exist_ok=True)
        shutil.copyfile(queries["held"][0], added)
        start = time.perf_counter()
        verified_search.verified_cropped_search(crops[0][0], folder)
        added_query = time.perf_counter() - start
        start = time.perf_counter()
        verified_features.picture_features(
            (str(added), verified_search.PICTURE_SETTINGS, verified_search.THUMBNAIL_SETTINGS)
        )
        read_alone = time.perf_counter() - start
        shutil.rmtree(added.parent)
        verified_search.verified_cropped_search(crops[0][0], folder)  # it leaves the index again
    files = {
        suffix: os.path.getsize(sil.CACHED_INDEXED + suffix)
        for suffix in (verified_search.STORE_SUFFIX, verified_search.WORDS_SUFFIX)
    }
    print(
        json.dumps(
            {
                "first": first,
                "warm": statistics.median(times),
                "min": min(times),
                "max": max(times),
                "right": right,
                "added_query": added_query,
                "read_alone": read_alone,
                "crops": len(crops),
                "peak_mb": peak_memory_mb(),
                "store_mb": files[verified_search.STORE_SUFFIX] / 1e6,
                "words_mb": files[verified_search.WORDS_SUFFIX] / 1e6,
                "load": os.getloadavg()[0],
            }
        )
    )


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--sizes", type=int, nargs="+", default=[20000, 100000])
    parser.add_argument("--crops", type=int, default=5)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seed", type=int, default=11)
    parser.add_argument(
        "--data",
        default=str(HERE / "data" / "verified_scale"),
        help="where the libraries and their stores are laid out",
    )
    parser.add_argument(
        "--features-only",
        action="store_true",
        help="lay out the libraries and fill their feature stores only",
    )
    parser.add_argument("--measure", type=int, help=argparse.SUPPRESS)  # the child's part
    args = parser.parse_args()
    if args.measure:
        measure(args)
        return

    _, held_paths, group_of, _ = build_folder()
    real_pictures = sorted(group_of)
    crops = cut_crops(
        real_pictures, args.crops, np.random.default_rng(args.seed), Path(args.data) / "crops", "crop"
    )
    for size in args.sizes:
        root = Path(args.data) / str(size)
        folder, real = lay_out(root, size, real_pictures)
        queries = {
            "crops": crops,
            "group_of": group_of,
            "group_in_library": {real[path]: group for path, group in group_of.items()},
            "held": held_paths,
        }
        Path(args.data, "queries.json").write_text(json.dumps(queries))
        sil.CACHED_INDEXED = str(root / "index.faiss")
        sil.CACHE_METADATA = str(root / "metadata.txt")
        start = time.perf_counter()
        populate_features(root, folder, held_paths)
        print(f"{size}: feature store ready in {time.perf_counter() - start:.0f} s", flush=True)
        if args.features_only:
            continue
        populate_words(folder, np.random.default_rng(args.seed))
        verified_candidates._LOADED.clear()
        print(f"{size}: stores ready in {time.perf_counter() - start:.0f} s", flush=True)
        child = subprocess.run(
            [
                sys.executable,
                __file__,
                "--measure",
                str(size),
                "--data",
                args.data,
                "--crops",
                str(args.crops),
                "--runs",
                str(args.runs),
                "--seed",
                str(args.seed),
            ],
            check=True,
            capture_output=True,
            text=True,
        )
        figures = json.loads(child.stdout.strip().splitlines()[-1])
        print(
            f"{size} pictures: first query {figures['first']:.2f} s, warm median {figures['warm']:.3f} s "
            f"(min {figures['min']:.3f}, max {figures['max']:.3f}), right {figures['right']}/{figures['crops']}, "
            f"peak RSS {figures['peak_mb']:.0f} MB, feature store {figures['store_mb']:.0f} MB, "
            f"candidate index {figures['words_mb']:.0f} MB; one picture added: the next query "
            f"{figures['added_query']:.2f} s, reading it alone {figures['read_alone']:.2f} s; "
            f"load {figures['load']:.1f}",
            flush=True,
        )


if __name__ == "__main__":
    main()
