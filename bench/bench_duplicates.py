"""Quality and speed of the duplicate finder next to 64-bit perceptual hashes.

    .venv/bin/python bench/bench_duplicates.py [--photos 40] [--runs 3]

Quality: real photographs (scikit-image's samples and four Debian wallpaper packages, fetched
as bench_verified_quality.py does, in bench/data/verified_quality/), each written once (longer
side capped at 1280) with a copy per edit of the finder's list and some combinations; the
photographs not used for edits stay in the folder alone, as distractors, and photographs that
look alike at 32 x 32 (packages ship some at several resolutions) count as one. Pairwise
precision and recall of the groups (a pair is two pictures in one group) for
`find_duplicates` (default similarity) and for `imagehash.phash` (64 bits) joined at Hamming
distance <= 10, and the time of each on the same folder (the finder with an empty store; the
hashes read every picture too). Also `index_a_directory` on the same fresh folder, for the
cost of a first scan. Then the comparison of the folder's candidate pairs by the native road
(what scans use) and by the numpy road it stands in for, in this process, one after the
other: their times, and whether their verdicts are the same.

Large folders (20,000 and 100,000 pictures): bench_duplicates_scale.py.
imagehash is installed with pip here when missing (the bench alone needs it).
"""

import argparse
import io
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))  # the suite's settings module
sys.path.insert(0, str(HERE))

import numpy as np  # noqa: E402
from bench_support import unpack_packages  # noqa: E402
from PIL import Image, ImageDraw, ImageEnhance, ImageOps  # noqa: E402

import search_index_lib as sil  # noqa: E402
from search_index_tools.duplicates import descriptor, finder, grouping, pair_verdicts, scan_duplicates  # noqa: E402
from search_index_tools.duplicates.finder import DEFAULT_SIMILARITY, SIMILARITY_LEVELS  # noqa: E402

LONGEST = 1280
DATA = HERE / "data" / "duplicates"
ROAD_PAIRS = 3000  # candidate pairs, about, compared by both roads


# ------------------------------------------------------------------------------ the edits


def _crop(p, left=0.0, top=0.0, right=0.0, bottom=0.0):
    w, h = p.size
    return p.crop((int(w * left), int(h * top), w - int(w * right), h - int(h * bottom)))


def _caption(p):
    p = p.convert("RGB")
    draw = ImageDraw.Draw(p)
    w, h = p.size
    draw.rectangle((int(w * 0.6), int(h * 0.87), w - 6, h - 6), fill=(0, 0, 0))
    draw.text((int(w * 0.62), int(h * 0.89)), "Summer 2021 - family", fill=(255, 255, 255))
    return p


def _watermark(p):
    p = p.convert("RGBA")
    layer = Image.new("RGBA", p.size, (0, 0, 0, 0))
    draw = ImageDraw.Draw(layer)
    w, h = p.size
    draw.rounded_rectangle(
        (int(w * 0.03), int(h * 0.03), int(w * 0.25), int(h * 0.15)), 8, fill=(255, 255, 255, 140)
    )
    draw.text((int(w * 0.05), int(h * 0.07)), "(c) photo studio", fill=(0, 0, 0, 230))
    return Image.alpha_composite(p, layer).convert("RGB")


def _jpeg(p, quality):
    data = io.BytesIO()
    p.convert("RGB").save(data, "JPEG", quality=quality)
    return data.getvalue()


def _exif(p, orientation):
    exif = Image.Exif()
    exif[0x0112] = orientation
    data = io.BytesIO()
    p.convert("RGB").save(data, "JPEG", quality=90, exif=exif)
    return data.getvalue()


def _third(p):
    return p.resize((max(1, p.width // 3), max(1, p.height // 3)), Image.LANCZOS)


EDITS = {
    "third.png": _third,
    "q25.jpg": lambda p: _jpeg(p, 25),
    "converted.webp": lambda p: p,
    "crop_left.png": lambda p: _crop(p, left=0.1),
    "crop_bottom.png": lambda p: _crop(p, bottom=0.1),
    "crop_around.png": lambda p: _crop(p, 0.05, 0.05, 0.05, 0.05),
    "brighter.png": lambda p: ImageEnhance.Brightness(p).enhance(1.35),
    "darker.png": lambda p: ImageEnhance.Brightness(p).enhance(0.6),
    "contrast.png": lambda p: ImageEnhance.Contrast(p).enhance(1.5),
    "grey.png": lambda p: p.convert("L"),
    "caption.png": _caption,
    "watermark.png": _watermark,
    "mirrored.png": ImageOps.mirror,
    "turned90.png": lambda p: p.transpose(Image.Transpose.ROTATE_270),
    "turned180.png": lambda p: p.transpose(Image.Transpose.ROTATE_180),
    "turned270.png": lambda p: p.transpose(Image.Transpose.ROTATE_90),
    "exif90.jpg": lambda p: _exif(p, 6),
    "exif270.jpg": lambda p: _exif(p, 8),
    # combinations
    "mirror_third_q40.jpg": lambda p: _jpeg(_third(ImageOps.mirror(p)), 40),
    "crop_turn_grey.png": lambda p: (
        _crop(p, top=0.08, right=0.06).transpose(Image.Transpose.ROTATE_90).convert("L")
    ),
    "caption_bright_q30.jpg": lambda p: _jpeg(ImageEnhance.Brightness(_caption(p)).enhance(1.25), 30),
    "watermark_crop_half.png": lambda p: _watermark(_crop(p, left=0.07, bottom=0.05)).resize(
        (p.width // 2, p.height // 2)
    ),
    "exif_contrast_crop.jpg": lambda p: _exif(ImageEnhance.Contrast(_crop(p, right=0.09)).enhance(1.3), 3),
}


def write(path, result):
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(result, bytes):
        path.write_bytes(result)
    else:
        result.save(path)


# Distinct photographs that look alike: frames of one video a moment apart, the two views of
# stereo pairs, two renders of one model, one scene under two lights (OpenCV's sample
# pictures, from Debian's opencv-doc, and scikit-image's stereo pair). The first of each
# pair gets the edited copies, the second stays alone: grouping it with the first is wrong.
LOOKALIKE_PACKAGE = "opencv-doc"
LOOKALIKE_PAIRS = [
    ("basketball1.png", "basketball2.png"),
    ("aloeL.jpg", "aloeR.jpg"),
    ("Blender_Suzanne1.jpg", "Blender_Suzanne2.jpg"),
    ("left01.jpg", "right01.jpg"),
    ("leuvenA.jpg", "leuvenB.jpg"),
]
LOOKALIKE_FIRST_SOURCE = 1000  # source numbers of the look-alikes, apart from the others


def lookalike_pairs():
    """[(name, picture), (name, picture)] for each pair of distinct look-alike photographs."""
    unpacked = unpack_packages([LOOKALIKE_PACKAGE], DATA / "lookalike_debs", DATA / "lookalikes")
    [samples] = list(unpacked.glob("usr/share/doc/opencv-doc/examples/data"))
    pairs = []
    for first, second in LOOKALIKE_PAIRS:
        pair = []
        for name in (first, second):
            with Image.open(samples / name) as picture:
                pair.append((Path(name).stem, picture.convert("RGB")))
        pairs.append(pair)
    import skimage.data  # installed by bench_verified_quality's sources

    left, right, _ = skimage.data.stereo_motorcycle()
    pairs.append([("motorcycle_left", Image.fromarray(left)), ("motorcycle_right", Image.fromarray(right))])
    return pairs


def build_folder(photos):
    """The folder, and the truth: the source number of every picture in it."""
    import bench_verified_quality as sources_of

    folder = DATA / f"folder_{photos}"
    sources = sources_of.load_sources()
    groups = sources_of.group_lookalikes(sources)
    firsts = sorted({group: index for index, group in reversed(list(enumerate(groups)))}.values())
    rng = np.random.default_rng(21)
    edited = set(rng.choice(firsts, size=min(photos, len(firsts)), replace=False).tolist())
    truth = {}
    for index in firsts:
        name, picture = sources[index]
        if max(picture.size) > LONGEST:
            factor = LONGEST / max(picture.size)
            picture = picture.resize(
                (round(picture.width * factor), round(picture.height * factor)), Image.LANCZOS
            )
        base = folder / f"{index:03d}_{name}"
        original = base / "original.png"
        if not original.exists():
            write(original, picture)
        truth[str(original)] = index
        if index in edited:
            for edit, make in EDITS.items():
                path = base / edit
                if not path.exists():
                    write(path, make(picture))
                truth[str(path)] = index
    for number, pair in enumerate(lookalike_pairs()):
        for which, (name, picture) in enumerate(pair):
            source = LOOKALIKE_FIRST_SOURCE + 2 * number + which
            base = folder / f"lookalike_{number}{'ab'[which]}_{name}"
            if not (base / "original.png").exists():
                write(base / "original.png", picture)
            truth[str(base / "original.png")] = source
            for edit, make in EDITS.items() if which == 0 else ():
                path = base / edit
                if not path.exists():
                    write(path, make(picture))
                truth[str(path)] = source
    return folder, truth


# ---------------------------------------------------------------------------- the scores


def pairs_of(groups):
    found = set()
    for group in groups:
        members = sorted(group)
        found.update((a, b) for i, a in enumerate(members) for b in members[i + 1 :])
    return found


def precision_recall(groups, truth):
    by_source = {}
    for path, source in truth.items():
        by_source.setdefault(source, []).append(path)
    true_pairs = pairs_of(by_source.values())
    found = pairs_of(groups)
    right = len(found & true_pairs)
    return (right / len(found) if found else 1.0), right / len(true_pairs), len(found), len(true_pairs)


def phash_groups(paths, distance=10):
    import imagehash

    hashes = []
    for path in paths:
        with Image.open(path) as picture:
            hashes.append(np.array(imagehash.phash(picture).hash, dtype=bool).ravel())
    bits = np.array(hashes)
    parent = list(range(len(paths)))

    def root(i):
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    for i in range(len(paths)):
        close = np.flatnonzero((bits[i + 1 :] != bits[i]).sum(axis=1) <= distance) + i + 1
        for j in close:
            parent[root(int(j))] = root(i)
    groups = {}
    for i, path in enumerate(paths):
        groups.setdefault(root(i), []).append(path)
    return [group for group in groups.values() if len(group) > 1]


def quality(photos, runs):
    try:
        import imagehash  # noqa: F401
    except ImportError:
        subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "imagehash"], check=True)
    folder, truth = build_folder(photos)
    paths = sorted(truth)
    edited = len({source for path, source in truth.items() if not path.endswith("original.png")})
    print(
        f"{len(paths)} pictures: {edited} photographs with {len(EDITS)} edited copies each "
        f"({len(LOOKALIKE_PAIRS) + 1} of them with a look-alike distinct photograph beside them), "
        f"{len(set(truth.values())) - edited} distinct photographs alone"
    )
    finder_times, hash_times, index_times, road_times = [], [], [], []
    for _ in range(runs):
        with tempfile.TemporaryDirectory() as cache:
            sil.CACHED_INDEXED = os.path.join(cache, "index.faiss")
            sil.CACHE_METADATA = os.path.join(cache, "metadata.txt")
            started = time.perf_counter()
            scan = scan_duplicates(folder)
            finder_times.append(time.perf_counter() - started)
            started = time.perf_counter()
            sil.index_a_directory(str(folder))
            index_times.append(time.perf_counter() - started)
            # The other levels from the pictures just read (the store), for their groups only.
            by_level = {
                level: scan_duplicates(folder, similarity=level).groups
                for level in SIMILARITY_LEVELS
                if level != DEFAULT_SIMILARITY
            }
            by_level[DEFAULT_SIMILARITY] = scan.groups
            if not road_times:
                thumbnails, sizes, candidates = candidates_in_store(folder)
            road_times.append(compare_roads(thumbnails, sizes, candidates))
        started = time.perf_counter()
        hashed = phash_groups(paths)
        hash_times.append(time.perf_counter() - started)
    for level, threshold in SIMILARITY_LEVELS.items():
        ours = precision_recall([group.paths for group in by_level[level]], truth)
        print(
            f"find_duplicates {level:>7} ({threshold}): precision {ours[0]:.4f} recall {ours[1]:.4f} "
            f"({ours[2]} pairs found, {ours[3]} true)"
        )
    theirs = precision_recall(hashed, truth)
    print(f"phash <= 10:     precision {theirs[0]:.4f} recall {theirs[1]:.4f} ({theirs[2]} pairs found)")
    print(
        f"times: find_duplicates ({DEFAULT_SIMILARITY}, empty store) {statistics.median(finder_times):.2f} s, "
        f"phash {statistics.median(hash_times):.2f} s (medians of {runs})"
    )
    print(
        f"index_a_directory on the same fresh folder: {statistics.median(index_times):.2f} s "
        f"(finder / index: {statistics.median(finder_times) / statistics.median(index_times):.2f})"
    )
    native, numpy_road = (
        statistics.median(times[key] for times in road_times) for key in ("native", "numpy")
    )
    print(
        f"comparing {len(candidates)} of the candidate pairs: native {native:.2f} s, numpy {numpy_road:.2f} s "
        f"({numpy_road / native:.1f} times); verdicts, transforms and crop flags the same; similarities "
        f"differ by at most {max(times['difference'] for times in road_times):.1e}"
    )
    missed_by_edit = {}
    found_pairs = pairs_of([group.paths for group in scan.groups])
    for path in truth:
        if not path.endswith("original.png"):
            original = str(Path(path).parent / "original.png")
            if tuple(sorted((path, original))) not in found_pairs:
                missed_by_edit[Path(path).name] = missed_by_edit.get(Path(path).name, 0) + 1
    print("copies not paired with their original, by edit:", dict(sorted(missed_by_edit.items())) or "none")
    wrong = sorted(
        {(Path(a).parent.name, Path(b).parent.name) for a, b in found_pairs if truth[a] != truth[b]}
    )
    print("photographs wrongly grouped together:", wrong or "none")


def stored_pictures(folders):
    """The usable pictures under `folders` as a scan just stored them, and their thumbnails."""
    identities = finder._identities(finder._listing(sil, [str(folder) for folder in folders]))
    store = finder.PictureStore(str(sil.CACHED_INDEXED) + finder.STORE_SUFFIX)
    try:
        reads = store.lookup(identities)
    finally:
        store.close()
    pictures, _ = finder._usable(identities, reads)
    return pictures, descriptor.thumbnails_array([read.thumbnail for read in pictures])


def candidates_in_store(folder):
    """The thumbnails and sizes of the folder's pictures as a scan just stored them, and their
    candidate pairs."""
    pictures, thumbnails = stored_pictures([folder])
    plain = descriptor.structure(thumbnails) < descriptor.PLAIN_STRUCTURE
    candidates = grouping.candidate_list(thumbnails, plain)
    # Every so many, for a numpy road of a minute or so.
    return (
        thumbnails,
        [(read.width, read.height) for read in pictures],
        candidates[:: max(1, len(candidates) // ROAD_PAIRS)],
    )


def compare_roads(thumbnails, sizes, candidates, threshold=SIMILARITY_LEVELS[DEFAULT_SIMILARITY]):
    """Times of the native and the numpy comparison of the same pairs (one process, one
    after the other); fails when a verdict differs."""
    times = {}
    for road, verdicts in (("native", pair_verdicts.verdicts), ("numpy", pair_verdicts.reference_verdicts)):
        started = time.perf_counter()
        found = verdicts(thumbnails, sizes, candidates, threshold)
        times[road] = time.perf_counter() - started
        if road == "native":
            native = found
    for name in ("same", "transform", "cropped"):
        assert np.array_equal(getattr(native, name), getattr(found, name)), f"the roads differ in {name}"
    times["difference"] = float(np.abs(native.similarity - found.similarity).max(initial=0.0))
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--photos", type=int, default=40, help="photographs given edited copies")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    DATA.mkdir(parents=True, exist_ok=True)
    quality(args.photos, args.runs)


if __name__ == "__main__":
    main()
