"""Warm queries of the verified cropped search over large libraries, through its candidate index.

    .venv/bin/python bench/bench_verified_scale.py [--sizes 155 20000 100000] [--runs 1]
                                                  [--timed 15] [--data DIR]

Needs the real photographs of bench_verified_quality.py (run it once first; its folder is reused).
For each size N a library of N files is laid out in DIR/N/library (default DIR:
bench/data/verified_scale): the real pictures (copies) and N - (their count) generated files,
hard links of one small noise picture per sub-folder of 1,000 (--features-only: lay out the
libraries and fill their feature stores only, the longest step, to be started early). Reading and describing N photographs would take hours on
this machine, so the generated files get their stored entries synthetically, of a photograph's
size, through the stores' own code:

- in the candidate index, the terms of a real picture that is in no library: one of VARIANTS
  pictures cut at random from photographs outside the library (the held-out photographs and
  the wallpapers of a few more Debian packages, less any that looks like a library picture),
  turned, mirrored, scaled, made lighter or darker and saved as JPEG, then described for real
  with the library's settings and vocabulary; each generated file keeps a random 75-100 % of
  its variant's terms. (Terms drawn from the real library pictures' own terms, as before, made
  every generated file share exact signatures with the crops' own pictures: near-copies in part.)
- in the feature store, the features and thumbnails of one of the held-out photographs (which
  are in no library, so a generated file proposed as a candidate fits no crop).

A size no larger than the real pictures' count lays out the real pictures alone: the figures of
the same crops without generated pictures.

The real pictures are read and indexed for real (one search of their sub-folder first, so the
vocabulary is drawn from real photographs). The queries are the edited crops of the quality
benchmark's two crop sets (seeds 7 and 11, 60 crops each, cut the same way) of the real
pictures: an answer is right when its first result is of the crop's photograph; recall@1 is
given over the crops with content (not one flat grey level). Every crop is searched --runs
times; the warm time is the median over all those searches, and the first --timed crops'
searches are also timed apart.

Foreign crops: FOREIGN_PER_SET a crop seed, cut the same way, and SMOOTH_FOREIGN smooth ones
(few keypoints), of the POOL_PACKAGES photographs that look like no library picture and no
held-out photograph: any answer to one of them is wrong.

Each size is measured in a child process of its own, as a user's process would meet it: the
first query (it reads the candidate index file), then the first of a smooth foreign crop (the
first to need the pixel index above the limit), the warm queries' median, the share of right
answers, the process's peak resident memory, and the sizes of the two store files. The load
average is printed with every line: timings on a shared machine are noisy.
"""

import argparse
import glob
import io
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
from bench_support import unpack_packages  # noqa: E402
from bench_verified_quality import (  # noqa: E402
    MIN_SIDE,
    build_folder,
    cut_crops,
    group_lookalikes,
    rank_of,
    smooth_crops,
)
from PIL import Image  # noqa: E402

import search_index_lib as sil  # noqa: E402
from search_index_tools.file_identity import file_identity  # noqa: E402
from search_index_tools.verified import candidates as verified_candidates  # noqa: E402
from search_index_tools.verified import features as verified_features  # noqa: E402
from search_index_tools.verified import search as verified_search  # noqa: E402
from search_index_tools.verified.cache import FeatureCache  # noqa: E402

PER_FOLDER = 1000
STORE_BATCH = 500
WORDS_SLICE = 25_000
VARIANTS = 1500  # pictures described for real that the generated files' terms come from
# Wallpapers that are in no library (the quality benchmark's folder uses others).
POOL_PACKAGES = ["gnome-backgrounds", "plasma-workspace-wallpapers", "sway-backgrounds"]
CROP_SEEDS = (7, 11)  # the quality benchmark's two crop sets
CROPS_PER_SET = 60


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
        for number in range(max(0, size - len(real))):
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


def pool_files(data):
    """The picture files of POOL_PACKAGES (fetched with apt-get download, unpacked with
    dpkg-deb -x under `data`), in one order."""
    unpacked = unpack_packages(POOL_PACKAGES, Path(data) / "pool-debs", Path(data) / "pool")
    return sorted(
        path
        for suffix in ("jpg", "jpeg", "png", "webp")
        for path in glob.glob(str(unpacked / "**" / f"*.{suffix}"), recursive=True)
    )


def pool_pictures(data, real_pictures, held_paths):
    """Grey photographs outside the library: the held-out ones and the wallpapers of
    POOL_PACKAGES (pool_files), the largest copy
    of each, less any that looks like a library picture."""
    files = pool_files(data)
    outside = []
    for path in files + list(held_paths):
        with Image.open(path) as image:
            if min(image.size) >= MIN_SIDE:
                outside.append(image.convert("RGB"))
    library = []
    for path in real_pictures:
        with Image.open(path) as image:
            library.append(image.convert("RGB"))
    groups = group_lookalikes([("", image) for image in library + outside])
    in_library = set(groups[: len(library)])
    largest = {}
    for image, group in zip(outside, groups[len(library) :]):
        if group in in_library:
            continue
        if (
            group not in largest
            or image.size[0] * image.size[1] > largest[group].size[0] * largest[group].size[1]
        ):
            largest[group] = image
    return [np.asarray(image.convert("L")) for image in largest.values()]


FOREIGN_PER_SET = 30  # crops of photographs in no library, per crop seed
SMOOTH_FOREIGN = 30  # and smooth ones (few keypoints), over all


def foreign_sources(data, real_pictures, held_paths):
    """Files of the photographs of POOL_PACKAGES that look like no library picture and no
    held-out photograph (whose features the generated files hold): crops of them belong to
    no picture of any library."""
    out = Path(data) / "foreign_sources"
    if (out / "done").exists():
        return sorted(str(path) for path in out.glob("*.png"))
    files = pool_files(data)
    inside = []
    for path in list(real_pictures) + list(held_paths):
        with Image.open(path) as image:
            inside.append(image.convert("RGB"))
    outside = []
    for path in files:
        with Image.open(path) as image:
            if min(image.size) >= MIN_SIDE:
                outside.append(image.convert("RGB"))
    groups = group_lookalikes([("", image) for image in inside + outside])
    taken = set(groups[: len(inside)])
    out.mkdir(parents=True, exist_ok=True)
    kept = []
    for number, (image, group) in enumerate(zip(outside, groups[len(inside) :])):
        if group in taken:
            continue
        taken.add(group)  # one copy of each photograph
        if max(image.size) > 1600:
            factor = 1600 / max(image.size)
            image = image.resize((round(image.size[0] * factor), round(image.size[1] * factor)))
        path = out / f"{number:03d}.png"
        image.save(path)
        kept.append(str(path))
    (out / "done").touch()
    return kept


def describe_variant(job):
    """(descriptors, points) of a picture cut at random from `grey`, as the library's pictures
    are described."""
    import cv2

    grey, seed = job
    rng = np.random.default_rng(seed)
    height, width = grey.shape
    cut_w, cut_h = int(width * rng.uniform(0.35, 1.0)), int(height * rng.uniform(0.35, 1.0))
    left, top = int(rng.integers(0, width - cut_w + 1)), int(rng.integers(0, height - cut_h + 1))
    region = np.ascontiguousarray(grey[top : top + cut_h, left : left + cut_w])
    if rng.random() < 0.5:
        region = np.ascontiguousarray(region[:, ::-1])
    factor = float(rng.uniform(700, 2600)) / max(region.shape)
    size = (max(16, int(region.shape[1] * factor)), max(16, int(region.shape[0] * factor)))
    turn = cv2.getRotationMatrix2D(
        (region.shape[1] / 2, region.shape[0] / 2), float(rng.uniform(-20, 20)), factor
    )
    turn[0, 2] += size[0] / 2 - region.shape[1] / 2
    turn[1, 2] += size[1] / 2 - region.shape[0] / 2
    warped = cv2.warpAffine(region, turn, size, borderMode=cv2.BORDER_REFLECT)
    warped = np.clip(warped * rng.uniform(0.7, 1.3) + rng.uniform(-30, 30), 0, 255).astype(np.uint8)
    encoded = io.BytesIO()
    Image.fromarray(warped).save(encoded, "JPEG", quality=int(rng.integers(60, 96)))
    features = verified_features.features_from_bytes(encoded.getvalue(), verified_search.PICTURE_SETTINGS)
    return features.descriptors, features.points


def variant_features(data, real_pictures, held_paths):
    """(descriptors, points) of the VARIANTS pictures, described once and kept in `data`."""
    kept = Path(data) / f"variants_{VARIANTS}.npz"
    if kept.exists():
        with np.load(kept) as arrays:  # every access to an entry would read it again: once each
            descriptors, points, bounds = arrays["descriptors"], arrays["points"], arrays["bounds"]
        return [(descriptors[start:end], points[start:end]) for start, end in zip(bounds[:-1], bounds[1:])]
    sources = pool_pictures(data, real_pictures, held_paths)
    print(
        f"describing {VARIANTS} pictures cut from {len(sources)} photographs outside the library", flush=True
    )
    from multiprocessing import get_context

    with get_context("forkserver").Pool(2) as pool:
        described = pool.map(
            describe_variant,
            [(sources[number % len(sources)], number) for number in range(VARIANTS)],
            chunksize=8,
        )
    bounds = np.cumsum([0] + [len(descriptors) for descriptors, _ in described])
    np.savez(
        kept,
        descriptors=np.concatenate([descriptors for descriptors, _ in described]),
        points=np.concatenate([points for _, points in described]),
        bounds=bounds,
    )
    return described


def populate_words(folder, rng, variants):
    """Indexes the real pictures for real (one search of their folder), then gives every
    generated file its terms in the candidate index (those of a variant, thinned), unless it
    has them already."""
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
    if not generated:
        word_store.close()
        return
    index = word_store.load()
    variant_terms = verified_candidates.many_picture_terms(index.vocabulary, variants)
    keys: dict[str, str] = {}  # per sub-folder, as the identities above
    # Added and merged a slice at a time: a merge stores the main part and lets go of it, so
    # the terms of the whole library are never all in memory at once.
    for first in range(0, len(generated), WORDS_SLICE):
        for path in generated[first : first + WORDS_SLICE]:
            sub = os.path.dirname(path)
            key = keys.get(sub) or keys.setdefault(sub, verified_search._file_key(file_identity(path)))
            words, marks, places = variant_terms[rng.integers(len(variant_terms))]
            kept = rng.random(len(words)) < rng.uniform(0.75, 1.0)
            index.add(path, key, (64, 48), words[kept], marks[kept], merge=False, places=places[kept])
        index._merge()
        word_store.save(index, generated[first : first + WORDS_SLICE], [])
        print(f"  {first + WORDS_SLICE} generated pictures indexed", flush=True)
    word_store.close()


def populate_pixels(folder, held_paths):
    """Gives every picture of the library its pixel-index entry, unless it has one: a
    generated file that of the held-out photograph its feature-store entry holds, a real
    picture that of its stored coarse thumbnail."""
    from search_index_tools.verified import pixel_index, pixel_index_store, pixel_proposals

    pixel_store = pixel_index_store.PixelIndexStore(str(sil.CACHED_INDEXED) + verified_search.PIXELS_SUFFIX)
    index = pixel_store.load()
    generated = sorted(str(path) for path in Path(folder, "generated").rglob("*.png"))
    held = [
        pixel_index.picture_vectors(
            verified_features.picture_features(
                (path, verified_search.PICTURE_SETTINGS, verified_search.THUMBNAIL_SETTINGS)
            )[1].thumbnails.coarse
        )
        for path in held_paths
    ]
    keys: dict[str, str] = {}  # per sub-folder, as in populate_words
    added = []
    for number, path in enumerate(generated):
        sub = os.path.dirname(path)
        key = keys.get(sub) or keys.setdefault(sub, verified_search._file_key(file_identity(path)))
        if index.key(path) != key:
            index.put(path, key, held[number % len(held)])
            added.append(path)
    pixel_store.save(index, added, [])
    real = sorted(str(path) for path in Path(folder, "real").iterdir())
    store = FeatureCache(str(sil.CACHED_INDEXED) + verified_search.STORE_SUFFIX)
    store_key = verified_search._store_key()

    def coarse_of(paths):
        return {
            path: store.lookup_thumbnail(path, file_identity(path), store_key, "coarse") for path in paths
        }

    pixel_proposals.up_to_date(
        pixel_store,
        real,
        lambda path: verified_search._file_key(file_identity(path)),
        coarse_of,
        str(Path(folder, "real")),
    )
    store.close()
    pixel_store.close()


def word_idf_scores(self, descriptors, points=None, only=None, best_of=0):
    """The candidate index's earlier scoring, for comparison (--word-idf): a crop descriptor
    votes through its nearest word only, weighted by that word's inverse document frequency,
    and a picture scores all its votes, wherever they lie."""
    count = len(self.keys)
    scores = np.zeros(count, np.float64)
    if len(descriptors) == 0 or len(self.numbers) == 0:
        return scores
    words = self.vocabulary.words(descriptors)
    marks = verified_candidates.signatures(descriptors)
    live = max(1, len(self.numbers))
    telling = self.document_counts[words] <= max(
        verified_candidates.STOP_MIN, verified_candidates.STOP_SHARE * live
    )
    words, marks = words[telling], marks[telling]
    weights = np.log((live + 1) / (self.document_counts[words] + 1))
    for part in self._parts():
        query, pictures, found, _ = part.lookup(words)
        close = (
            np.bitwise_count(np.bitwise_xor(marks[query], found)) <= verified_candidates.SIGNATURE_DISTANCE
        )
        keep = close & (pictures < count)
        query, pictures = query[keep], pictures[keep]
        pairs = np.unique(query.astype(np.int64) * count + pictures)
        scores += np.bincount(pairs % count, weights=weights[pairs // count], minlength=count)
    scores[~self.alive] = 0.0
    if only is not None:
        scores[~only] = 0.0
    return scores


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
    if args.word_idf:
        verified_candidates.CandidateIndex.scores = word_idf_scores
    # "main": above the pixel stage's limit no pixel stage at all, the road before the pixel index.
    verified_search.PIXEL_INDEX_ROAD = {
        "main": "off",
        "pixel-index": "bounded",
        "unbounded": "unbounded",
        "full": "off",
    }[args.road[0]]
    if args.most_scanned:
        from search_index_tools.verified import pixel_proposals

        pixel_proposals.MOST_SCANNED = args.most_scanned
        pixel_proposals.FIRST_SCANNED = min(pixel_proposals.FIRST_SCANNED, args.most_scanned)
    if args.road[0] == "full":
        # The pixel stage scans every picture's thumbnail, however large the library.
        verified_search.PIXEL_STAGE_LIMIT = 10**9
    sil.CACHED_INDEXED = str(root / "index.faiss")
    sil.CACHE_METADATA = str(root / "metadata.txt")
    folder = str(root / "library")
    # The queries were cut by the parent: the peak memory below is the searches' own.
    queries = json.loads(Path(args.data, "queries.json").read_text())
    crops, group_of, group_in_library = queries["crops"], queries["group_of"], queries["group_in_library"]
    foreign = queries["foreign"]
    if args.only:
        crops = [crop for crop in crops if Path(crop[0]).stem in args.only] or crops[:1]
        foreign = [crop for crop in foreign if Path(crop[0]).stem in args.only]
    start = time.perf_counter()
    verified_search.verified_cropped_search(crops[0][0], folder)
    first = time.perf_counter() - start
    # The process's first search of a crop without keypoints (a smooth foreign one): the first
    # to need the pixel stage, and so the pixel index, above the limit.
    first_pixels = float("nan")
    smooth = [crop for crop, _, flat in foreign if "smooth" in Path(crop).name and not flat]
    if smooth:
        start = time.perf_counter()
        verified_search.verified_cropped_search(smooth[0], folder)
        first_pixels = time.perf_counter() - start
    times, timed, right, misses, wrong = [], [], 0, [], []
    for number, (crop, source, flat) in enumerate(crops):
        for _ in range(args.runs):
            start = time.perf_counter()
            results = verified_search.verified_cropped_search(crop, folder)
            times.append(time.perf_counter() - start)
            if number < args.timed:
                timed.append(times[-1])
        if not flat:
            found = rank_of(results, group_of[source], group_in_library) == 1
            right += found
            if not found:
                misses.append(Path(crop).name)
            if results and not found:
                wrong.append(Path(crop).name)
    # Crops of photographs in no library: any answer is a wrong one.
    foreign_answered, foreign_times = [], []
    for crop, _, flat in foreign:
        start = time.perf_counter()
        results = verified_search.verified_cropped_search(crop, folder)
        foreign_times.append(time.perf_counter() - start)
        if results and not flat:
            foreign_answered.append(f"{Path(crop).name}: {Path(results[0]).name}")
    # One picture added to the library: the next query, beside reading that picture alone.
    added_query = read_alone = float("nan")
    if queries.get("held") and not args.only:
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
        for suffix in (
            verified_search.STORE_SUFFIX,
            verified_search.WORDS_SUFFIX,
            verified_search.PIXELS_SUFFIX,
        )
        if os.path.exists(sil.CACHED_INDEXED + suffix)
    }
    rows_file = sil.CACHED_INDEXED + verified_search.PIXELS_SUFFIX + ".rows"
    rows_size = os.path.getsize(rows_file) if os.path.exists(rows_file) else 0
    print(
        json.dumps(
            {
                "first": first,
                "first_pixels": first_pixels,
                "warm": statistics.median(times),
                "warm_timed": statistics.median(timed) if timed else float("nan"),
                "min": min(times),
                "max": max(times),
                "right": right,
                "with_content": sum(not flat for *_, flat in crops),
                "misses": misses,
                "wrong": wrong,
                "foreign": sum(not flat for *_, flat in foreign),
                "foreign_smooth": sum(not flat for path, _, flat in foreign if "smooth" in Path(path).name),
                "foreign_answered": foreign_answered,
                "foreign_warm": statistics.median(foreign_times) if foreign_times else float("nan"),
                "foreign_max": max(foreign_times, default=float("nan")),
                "added_query": added_query,
                "read_alone": read_alone,
                "crops": len(crops),
                "peak_mb": peak_memory_mb(),
                "store_mb": files[verified_search.STORE_SUFFIX] / 1e6,
                "words_mb": files[verified_search.WORDS_SUFFIX] / 1e6,
                # The pixel index's SQLite file and its rows file.
                "pixels_mb": (files.get(verified_search.PIXELS_SUFFIX, 0) + rows_size) / 1e6,
                "load": os.getloadavg()[0],
            }
        )
    )


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--sizes", type=int, nargs="+", default=[155, 20000, 100000])
    parser.add_argument("--runs", type=int, default=1, help="searches of every crop")
    parser.add_argument("--timed", type=int, default=15, help="crops whose searches are also timed apart")
    parser.add_argument("--seed", type=int, default=11, help="of the generated files' terms")
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
    parser.add_argument(
        "--word-idf", action="store_true", help="the candidate index's earlier scoring, for comparison"
    )
    parser.add_argument(
        "--road",
        nargs="+",
        choices=["pixel-index", "unbounded", "main", "full"],
        default=["pixel-index"],
        help="above the pixel stage's limit: scan what the pixel index proposes (answering only once"
        " no picture left could change the answer, or also when that was not shown: unbounded), or"
        " no pixel stage (the earlier road), or the pixel stage over every picture (full: slow, for"
        " --only a sample); several are measured in turn, each in a process of its own",
    )
    parser.add_argument(
        "--only", nargs="+", help="measure only these crops (file names without suffix), own and foreign"
    )
    parser.add_argument(
        "--most-scanned", type=int, help="of the pictures the pixel index proposes, scan at most this many"
    )
    parser.add_argument("--measure", type=int, help=argparse.SUPPRESS)  # the child's part
    args = parser.parse_args()
    if args.measure:
        measure(args)
        return

    _, held_paths, group_of, _ = build_folder()
    real_pictures = sorted(group_of)
    crops = [
        crop
        for seed in CROP_SEEDS
        for crop in cut_crops(
            real_pictures,
            CROPS_PER_SET,
            np.random.default_rng(seed),
            Path(args.data) / "crops",
            f"crop{seed}",
        )
    ]
    sources = foreign_sources(args.data, real_pictures, held_paths)
    foreign = [
        crop
        for seed in CROP_SEEDS
        for crop in cut_crops(
            sources, FOREIGN_PER_SET, np.random.default_rng(seed), Path(args.data) / "crops", f"foreign{seed}"
        )
    ] + smooth_crops(
        sources, SMOOTH_FOREIGN, np.random.default_rng(17), Path(args.data) / "crops", "smooth_foreign"
    )
    variants = None
    for size in args.sizes:
        root = Path(args.data) / str(size)
        folder, real = lay_out(root, size, real_pictures)
        queries = {
            "crops": crops,
            "foreign": foreign,
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
        if size > len(real_pictures) and variants is None:
            variants = variant_features(args.data, real_pictures, held_paths)
        populate_words(folder, np.random.default_rng(args.seed), variants)
        populate_pixels(folder, held_paths)
        verified_candidates._LOADED.clear()
        print(f"{size}: stores ready in {time.perf_counter() - start:.0f} s", flush=True)
        for road in args.road:
            measure_in_child(args, size, road)


def measure_in_child(args, size, road):
    """Measures one size along one road in a process of its own, and prints its figures."""
    child = subprocess.run(
        [
            sys.executable,
            __file__,
            "--measure",
            str(size),
            "--data",
            args.data,
            "--timed",
            str(args.timed),
            "--runs",
            str(args.runs),
            "--seed",
            str(args.seed),
            *(["--word-idf"] if args.word_idf else []),
            *(["--only", *args.only] if args.only else []),
            *(["--most-scanned", str(args.most_scanned)] if args.most_scanned else []),
            "--road",
            road,
        ],
        capture_output=True,
        text=True,
    )
    if child.returncode:
        sys.exit(f"{size}: the measuring process failed:\n{child.stderr}")
    figures = json.loads(child.stdout.strip().splitlines()[-1])
    print(
        f"{size} pictures, {road} road: first query {figures['first']:.2f} s (then the first of a smooth crop "
        f"{figures['first_pixels']:.2f} s), warm median {figures['warm']:.3f} s "
        f"(min {figures['min']:.3f}, max {figures['max']:.3f}; first {args.timed} crops "
        f"{figures['warm_timed']:.3f} s), recall@1 over crops with content "
        f"{figures['right'] / max(1, figures['with_content']):.3f} "
        f"({figures['right']}/{figures['with_content']}; {figures['crops']} crops), "
        f"peak RSS {figures['peak_mb']:.0f} MB, feature store {figures['store_mb']:.0f} MB, "
        f"candidate index {figures['words_mb']:.0f} MB, pixel index {figures['pixels_mb']:.0f} MB; one picture added: the next query "
        f"{figures['added_query']:.2f} s, reading it alone {figures['read_alone']:.2f} s; "
        f"load {figures['load']:.1f}",
        flush=True,
    )
    print(f"  missed: {' '.join(figures['misses'])}", flush=True)
    print(f"  answered with another picture: {' '.join(figures['wrong']) or 'none'}", flush=True)
    print(
        f"  foreign crops (warm median {figures['foreign_warm']:.3f} s, max {figures['foreign_max']:.2f} s)"
        f" with content answered: {len(figures['foreign_answered'])} of {figures['foreign']}"
        f" ({figures['foreign_smooth']} smooth): {'; '.join(figures['foreign_answered']) or 'none'}",
        flush=True,
    )


if __name__ == "__main__":
    main()
