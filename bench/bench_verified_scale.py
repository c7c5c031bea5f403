"""Warm queries of the verified cropped search over large libraries, through its candidate index.

    .venv/bin/python bench/bench_verified_scale.py [--sizes 20000 100000] [--crops 5] [--runs 3]

Needs the real photographs of bench_verified_quality.py (run it once first; its folder is reused).
For each size N a library of N files is laid out in bench/data/verified_scale/N/: the real
pictures (hard links) and N - (their count) generated files, hard links of one small noise
picture. Reading and describing N photographs would take hours here, so the generated files
get their entries in the candidate index synthetically, with the size of a photograph's: 3,000
terms each, drawn at random from the real pictures' own terms (so their words are as common as
real ones, and they share terms with the real pictures by chance, as unrelated photographs do).
Their keypoints are not stored, so a generated file proposed as a candidate is read (it has too
few keypoints to be placed anywhere). The queries are edited crops (cut like the quality
benchmark's) of the real pictures: an answer is right when its first result is of the crop's
photograph.

Printed per size: the first query of the process (it loads the index file), the warm queries'
median, the share of right answers, the process's peak resident memory and the index file's size.
"""
import argparse
import os
import resource
import shutil
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import numpy as np  # noqa: E402
from PIL import Image  # noqa: E402

import search_index_lib as sil  # noqa: E402
from bench_verified_quality import DATA as QUALITY_DATA, build_folder, cut_crops, rank_of  # noqa: E402
from search_index_tools.verified import candidates as verified_candidates  # noqa: E402
from search_index_tools.verified import search as verified_search  # noqa: E402

DATA = HERE / "data" / "verified_scale"
TERMS_PER_PICTURE = 3000
PER_FOLDER = 1000


def lay_out(size, real_pictures):
    """The library folder of `size` files and the path of each real picture in it."""
    root = DATA / str(size)
    done = root / "done"
    folder = root / "library"
    real = {}
    for number, path in enumerate(real_pictures):
        real[path] = str(folder / "real" / f"{number:04d}_{Path(path).name}")
    if not done.exists():
        shutil.rmtree(root, ignore_errors=True)
        (folder / "real").mkdir(parents=True)
        for source, target in real.items():
            os.link(source, target)
        noise = root / "noise.png"
        Image.fromarray(np.random.default_rng(5).integers(0, 256, (48, 64), dtype=np.uint8)).save(noise)
        for number in range(size - len(real)):
            sub = folder / "generated" / f"{number // PER_FOLDER:03d}"
            if number % PER_FOLDER == 0:
                sub.mkdir(parents=True)
            os.link(noise, sub / f"{number:06d}.png")
        done.touch()
    return str(folder), real


def populate(folder, rng):
    """Indexes the real pictures for real (one search of their folder), then gives every
    generated file its synthetic terms, unless the index has them already."""
    store = verified_search.WordStore(str(sil.CACHED_INDEXED) + verified_search.WORDS_SUFFIX)
    index = store.load()
    generated = sorted(str(path) for path in Path(folder, "generated").rglob("*.png"))
    if index is not None and all(index.entry(path) is not None for path in generated[::997]):
        store.close()
        return
    real_folder = str(Path(folder, "real"))
    some_picture = next(Path(real_folder).iterdir())
    verified_search.verified_cropped_search(str(some_picture), real_folder)
    index = store.load()
    words = np.concatenate([index._terms[number][0] for number in index._terms])
    marks = np.concatenate([index._terms[number][1] for number in index._terms])
    added = []
    for path in generated:
        drawn = rng.integers(0, len(words), TERMS_PER_PICTURE)
        pairs = np.unique(words[drawn].astype(np.uint64) << np.uint64(32) | marks[drawn].astype(np.uint64))
        identity = verified_search._identity(path)
        index.add(path, verified_search._file_key(identity), (64, 48), (pairs >> np.uint64(32)).astype(np.uint32),
                  (pairs & np.uint64(0xFFFFFFFF)).astype(np.uint32), merge=False)
        added.append(path)
    index._merge()
    store.save(index, added, [])
    store.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[20000, 100000])
    parser.add_argument("--crops", type=int, default=5)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seed", type=int, default=11)
    args = parser.parse_args()

    _, _, group_of, _ = build_folder()
    real_pictures = sorted(group_of)
    rng = np.random.default_rng(args.seed)
    for size in args.sizes:
        folder, real = lay_out(size, real_pictures)
        sil.CACHED_INDEXED = str(DATA / str(size) / "index.faiss")
        sil.CACHE_METADATA = str(DATA / str(size) / "metadata.txt")
        populate(folder, rng)
        verified_candidates._LOADED.clear()  # the first query reads the index as a new process does
        group_in_library = {real[path]: group for path, group in group_of.items()}
        crops = cut_crops(real_pictures, args.crops, np.random.default_rng(args.seed), DATA / "crops", "crop")
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
        words_file = str(sil.CACHED_INDEXED) + verified_search.WORDS_SUFFIX
        print(f"{size} pictures ({len(real)} real): first query {first:.2f} s, warm median "
              f"{statistics.median(times):.3f} s (min {min(times):.3f}, max {max(times):.3f}), "
              f"right {right}/{len(crops)}, peak RSS {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MB, "
              f"index file {os.path.getsize(words_file) / 1e6:.0f} MB; load {os.getloadavg()[0]:.1f}", flush=True)


if __name__ == "__main__":
    main()
