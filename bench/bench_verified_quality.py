"""Quality and speed of the verified cropped search next to `cropped_search`, on real
photographs.

    .venv/bin/python bench/bench_verified_quality.py [--crops 60] [--foreign 60] [--seed 7]
        [--smooth-foreign 60]

Set-up (once, cached in bench/data/verified_quality/): the photographs that scikit-image
ships (installed with pip when missing) and the wallpapers of four Debian packages (fetched
with apt-get download and unpacked with dpkg-deb -x; run as root or with a cached copy).
Every photograph of the folder is written at its own size (longer side capped at 2560) and
at half size, and every third one also at 30 %; the pictures of a few photographs are kept
out of the folder to cut foreign crops from. Photographs that look alike at 32 x 32 (the
packages ship some at several resolutions) form one group.

Some wallpapers are smooth artwork (gradients, stripes) on which no keypoint detector finds
anything to match. A photograph counts as textured when ORB (OpenCV's defaults, no cap on
the count) finds at least TEXTURED_KEYPOINTS keypoints on it at 960 pixels; recall is given
over all crops and over the crops of textured photographs.

A crop is a seeded random rectangle of 15-40 % of a folder picture's width and height, edited
as crops reach people: turned by up to 15 degrees, scaled by 0.5-1.6, its grey levels changed
by a gain of 0.7-1.3 and an offset of -40..40, and saved as JPEG of quality 40-70 (--unedited:
cut as it is, saved as PNG). Foreign crops are cut and edited the same way. It
counts as found at rank r when the r-th result belongs to its photograph's group. Recall "with
content" leaves out crops whose region is of one flat grey level, before the edits or (grey
levels of the saved crop) after them. Folders of more than
verified_search.CANDIDATES pictures are searched through the candidate index; --exhaustive
verifies every picture instead, for comparison. Times are
medians per query; a cold query (of either search) starts without its feature store, a warm
one with the store the previous query left. Crops the keypoint stage cannot place go on to the
pixel stage, which costs more: the warm times of the crops it answered and of the foreign
crops (which all reach it) are given too. --smooth-foreign adds foreign crops that are smooth
(skies, gradients, straight edges: the crops most likely to fit some picture by chance), kept
from crops cut the same way; how many of them are answered is given apart.
"""

import argparse
import glob
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

import cv2  # noqa: E402
import numpy as np  # noqa: E402
from bench_support import unpack_packages  # noqa: E402
from PIL import Image  # noqa: E402

import search_index_lib as sil  # noqa: E402
from search_index_tools.verified.search import (  # noqa: E402
    PLACED_BY_PIXELS,
    STORE_SUFFIX,
    WORDS_SUFFIX,
    verified_cropped_matches,
    verified_cropped_search,
)

DATA = HERE / "data" / "verified_quality"
DEBIAN_PACKAGES = [
    "mate-backgrounds",
    "ukui-wallpapers",
    "lomiri-wallpapers-16.04",
    "lomiri-wallpapers-20.04",
]
SAMPLE_PHOTOS = [
    "astronaut",
    "camera",
    "chelsea",
    "coffee",
    "coins",
    "hubble_deep_field",
    "immunohistochemistry",
    "moon",
    "rocket",
    "retina",
    "grass",
    "gravel",
    "brick",
]
LONGEST_SIDE = 2560
MIN_SIDE = 400
HELD_OUT = 8  # photographs kept out of the folder for foreign crops
TEXTURED_KEYPOINTS = 500


def fetch_wallpapers():
    unpacked = unpack_packages(DEBIAN_PACKAGES, DATA / "debs", DATA / "debian")
    found = []
    for suffix in ("jpg", "jpeg", "png"):
        found += glob.glob(str(unpacked / "**" / f"*.{suffix}"), recursive=True)
    return sorted(found)


def sample_photos():
    try:
        import skimage.data  # noqa: F401
    except ImportError:
        subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "scikit-image"], check=True)
    import skimage.data

    photos = []
    for name in SAMPLE_PHOTOS:
        try:
            photos.append((name, np.asarray(getattr(skimage.data, name)())))
        except Exception as error:  # a sample not shipped in the wheel would need a download
            print(f"skipping sample {name}: {error}")
    return photos


def as_rgb(pixels):
    image = Image.fromarray(pixels)
    return image.convert("RGB")


def load_sources():
    """(name, RGB picture) of every usable photograph, sorted by name, lookalikes grouped."""
    sources = [(name, as_rgb(pixels)) for name, pixels in sample_photos()]
    for path in fetch_wallpapers():
        with Image.open(path) as image:
            if min(image.size) < MIN_SIDE:
                continue
            sources.append((Path(path).stem, image.convert("RGB")))
    return sources


def thumbnail(image):
    return np.asarray(image.convert("L").resize((32, 32), Image.BILINEAR), dtype=np.float32)


def group_lookalikes(sources):
    """Group number per source: photographs whose 32x32 thumbnails differ by < 6 grey levels."""
    thumbs = [thumbnail(image) for _, image in sources]
    groups = []
    for i, thumb in enumerate(thumbs):
        for j in range(i):
            if np.abs(thumb - thumbs[j]).mean() < 6:
                groups.append(groups[j])
                break
        else:
            groups.append(i)
    return groups


def is_textured(image):
    grey = np.asarray(scaled(image, 960 / max(image.size)).convert("L"))
    return len(cv2.ORB_create(nfeatures=10**6).detect(grey, None)) >= TEXTURED_KEYPOINTS


def scaled(image, factor):
    width, height = image.size
    return image.resize((max(1, round(width * factor)), max(1, round(height * factor))), Image.LANCZOS)


def build_folder():
    """The searched folder, the held-out photographs, the group of every folder picture and
    the groups of textured photographs."""
    folder, held_dir = DATA / "folder", DATA / "held_out"
    sources = load_sources()
    groups = group_lookalikes(sources)
    unique = sorted(set(groups))
    rng = np.random.default_rng(1234)
    held = set(rng.choice(unique, size=HELD_OUT, replace=False).tolist())
    group_of, held_paths, textured = {}, [], set()
    if not (DATA / "folder.done").exists():
        shutil.rmtree(folder, ignore_errors=True)
        shutil.rmtree(held_dir, ignore_errors=True)
    folder.mkdir(parents=True, exist_ok=True)
    held_dir.mkdir(parents=True, exist_ok=True)
    for index, ((name, image), group) in enumerate(zip(sources, groups)):
        if max(image.size) > LONGEST_SIDE:
            image = scaled(image, LONGEST_SIDE / max(image.size))
        if is_textured(image):
            textured.add(group)
        if group in held:
            path = held_dir / f"{index:03d}_{name}.png"
            if not path.exists():
                image.save(path)
            held_paths.append(str(path))
            continue
        copies = [("full", 1.0), ("half", 0.5)] + ([("small", 0.3)] if index % 3 == 0 else [])
        for label, factor in copies:
            path = folder / label / f"{index:03d}_{name}.jpg"
            path.parent.mkdir(exist_ok=True)
            if not path.exists():
                (image if factor == 1.0 else scaled(image, factor)).save(path, quality=90)
            group_of[os.path.abspath(path)] = group
    (DATA / "folder.done").touch()
    return str(folder), held_paths, group_of, textured


def cut_crops(pictures, count, rng, out_dir, prefix, edited=True):
    """(crop path, source picture, whether the cut region is one flat grey level) per crop.
    Edited crops are cut as a user's edits leave them: the region (15-40 % of each side) turned
    by up to 15 degrees, scaled by 0.5-1.6, made lighter or darker and of more or less contrast,
    and saved as JPEG of quality 40-70."""
    out_dir.mkdir(parents=True, exist_ok=True)
    crops = []
    for number in range(count):
        source = pictures[rng.integers(len(pictures))]
        with Image.open(source) as image:
            rgb = np.asarray(image.convert("RGB"))
        height, width = rgb.shape[:2]
        crop_w = max(16, int(width * rng.uniform(0.15, 0.40)))
        crop_h = max(16, int(height * rng.uniform(0.15, 0.40)))
        degrees = float(rng.uniform(-15, 15)) if edited else 0.0
        scale = float(rng.uniform(0.5, 1.6)) if edited else 1.0
        # The turned region's bounding box stays inside the picture.
        turn = np.radians(degrees)
        box_w = abs(crop_w * np.cos(turn)) + abs(crop_h * np.sin(turn))
        box_h = abs(crop_w * np.sin(turn)) + abs(crop_h * np.cos(turn))
        centre_x = float(rng.uniform(box_w / 2, max(box_w / 2, width - box_w / 2)))
        centre_y = float(rng.uniform(box_h / 2, max(box_h / 2, height - box_h / 2)))
        out_w, out_h = max(8, round(crop_w * scale)), max(8, round(crop_h * scale))
        # Crop pixel (u, v) shows picture point centre + R (u - out_w / 2, v - out_h / 2) / scale.
        cos, sin = np.cos(turn) / scale, np.sin(turn) / scale
        to_picture = np.array(
            [
                [cos, -sin, centre_x - cos * out_w / 2 + sin * out_h / 2],
                [sin, cos, centre_y - sin * out_w / 2 - cos * out_h / 2],
            ]
        )
        region = cv2.warpAffine(
            rgb,
            to_picture,
            (out_w, out_h),
            flags=cv2.INTER_AREA | cv2.WARP_INVERSE_MAP,
            borderMode=cv2.BORDER_REFLECT,
        )
        flat = int(region.min()) == int(region.max())
        if edited:
            gain, offset = float(rng.uniform(0.7, 1.3)), float(rng.uniform(-40, 40))
            region = np.clip(region.astype(np.float32) * gain + offset, 0, 255).astype(np.uint8)
            path = out_dir / f"{prefix}_{number:03d}.jpg"
            Image.fromarray(region).save(path, quality=int(rng.integers(40, 71)))
        else:
            path = out_dir / f"{prefix}_{number:03d}.png"
            Image.fromarray(region).save(path)
        # A crop whose grey levels, as saved, are all one value (a near-flat region that the
        # edits clipped or the JPEG evened out) has no content left to place either.
        saved = cv2.imdecode(np.fromfile(str(path), np.uint8), cv2.IMREAD_GRAYSCALE)
        flat = flat or int(saved.min()) == int(saved.max())
        crops.append((str(path), source, flat))
    return crops


SMOOTH_KEYPOINTS = 50


def smooth_crops(pictures, count, rng, out_dir, prefix, edited=True):
    """Crops cut as cut_crops cuts them, keeping only those on which ORB (OpenCV's defaults, no
    cap on the count) finds fewer than SMOOTH_KEYPOINTS keypoints; at most 40 tries a crop."""
    kept = []
    for attempt in range(40 * count):
        if len(kept) >= count:
            break
        ((path, source, flat),) = cut_crops(pictures, 1, rng, out_dir, f"{prefix}_{attempt:04d}", edited)
        grey = cv2.imdecode(np.fromfile(path, np.uint8), cv2.IMREAD_GRAYSCALE)
        if len(cv2.ORB_create(nfeatures=10**6).detect(grey, None)) < SMOOTH_KEYPOINTS:
            kept.append((path, source, flat))
        else:
            os.unlink(path)
    return kept


def rank_of(results, group, group_of):
    for rank, path in enumerate(results, start=1):
        if group_of.get(path) == group:
            return rank
    return None


def timed(function, *args):
    start = time.perf_counter()
    result = function(*args)
    return time.perf_counter() - start, result


# The feature store of cropped_search, beside the index.
PLAIN_STORE_SUFFIX = ".features.sqlite"


def remove_store(store_suffix=STORE_SUFFIX):
    for suffix in ("", "-wal", "-shm"):
        try:
            os.unlink(str(sil.CACHED_INDEXED) + store_suffix + suffix)
        except FileNotFoundError:
            pass


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--crops", type=int, default=60)
    parser.add_argument("--foreign", type=int, default=60)
    parser.add_argument("--cold-runs", type=int, default=3)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument(
        "--smooth-foreign",
        type=int,
        default=0,
        help="also this many smooth foreign crops (skies, gradients, edges: fewer than "
        "SMOOTH_KEYPOINTS keypoints), answered rate given apart",
    )
    parser.add_argument(
        "--skip-cropped-search", action="store_true", help="time and score only the verified search"
    )
    parser.add_argument("--cold-only", action="store_true", help="only the cold queries of both searches")
    parser.add_argument(
        "--unedited",
        dest="edited",
        action="store_false",
        help="crops cut as they are (no turn, scale, brightness change or JPEG)",
    )
    parser.add_argument(
        "--exhaustive",
        action="store_true",
        help="verify every picture instead of the candidate index's proposals",
    )
    parser.add_argument(
        "--pixel-stage-limit",
        type=int,
        help="library size above which the pixel stage scans only what the pixel index proposes",
    )
    parser.add_argument(
        "--most-scanned", type=int, help="of the pictures the pixel index proposes, scan at most this many"
    )
    parser.add_argument(
        "--unbounded",
        action="store_true",
        help="above the pixel stage's limit, let it answer from the proposed pictures also when no"
        " bound showed that the pictures left unscanned could not change its answer (default: only"
        " then)",
    )
    parser.add_argument(
        "--pixel-bars-of",
        type=int,
        help="judge the pixel stage's placements by the bars of a library of this many pictures"
        " (they tighten beyond PixelSettings.freely_weighed): what those bars would cost here",
    )
    args = parser.parse_args()
    import search_index_tools.verified.pixel_proposals as proposals_module
    import search_index_tools.verified.search as search_module

    if args.pixel_stage_limit is not None:
        search_module.PIXEL_STAGE_LIMIT = args.pixel_stage_limit
    if args.most_scanned is not None:
        proposals_module.MOST_SCANNED = args.most_scanned
        proposals_module.FIRST_SCANNED = min(proposals_module.FIRST_SCANNED, args.most_scanned)
    search_module.PIXEL_INDEX_ROAD = "unbounded" if args.unbounded else "bounded"
    if args.pixel_bars_of is not None:
        import search_index_tools.verified.pixels as pixels_module

        placements = pixels_module.PixelSearch.placements
        weighed = args.pixel_bars_of
        pixels_module.PixelSearch.placements = lambda search, fine, _=None: placements(search, fine, weighed)
    if args.exhaustive:
        import search_index_tools.verified.search as verified_search_module

        verified_search_module.CANDIDATES = 10**9

    folder, held_paths, group_of, textured = build_folder()
    sil.CACHED_INDEXED = str(DATA / "index.faiss")
    sil.CACHE_METADATA = str(DATA / "metadata.txt")
    pictures = sorted(group_of)
    print(
        f"{len(pictures)} pictures of {len(set(group_of.values()))} photographs in the folder, "
        f"{len(held_paths)} photographs held out"
    )
    rng = np.random.default_rng(args.seed)
    kind = "crop" if args.edited else "plain_crop"
    crops = cut_crops(pictures, args.crops, rng, DATA / "crops", kind, args.edited)
    foreign = cut_crops(held_paths, args.foreign, rng, DATA / "crops", "foreign_" + kind, args.edited)
    smooth_foreign = smooth_crops(
        held_paths, args.smooth_foreign, rng, DATA / "crops", "smooth_foreign_" + kind, args.edited
    )

    # Cold queries of the two searches take turns, so that both meet the same load.
    cold, plain_cold = [], []
    for crop, *_ in crops[: args.cold_runs]:
        remove_store()
        remove_store(WORDS_SUFFIX)
        cold.append(timed(verified_cropped_search, crop, folder)[0])
        if not args.skip_cropped_search:
            remove_store(PLAIN_STORE_SUFFIX)
            plain_cold.append(timed(sil.cropped_search, crop, folder)[0])
    if plain_cold:
        print(
            f"cold queries: verified {statistics.median(cold):.2f} s, cropped_search "
            f"{statistics.median(plain_cold):.2f} s: {statistics.median(cold) / statistics.median(plain_cold):.2f} "
            f"times (medians of {len(cold)}, taking turns); load {os.getloadavg()[0]:.1f}",
            flush=True,
        )
    if args.cold_only:
        return
    verified_ranks, verified_times, plain_ranks, plain_times = [], [], [], []
    of_textured = [group_of[source] in textured for _, source, _ in crops]
    flat = [is_flat for *_, is_flat in crops]
    by_pixels, pixel_times, misses = 0, [], []
    for crop, source, is_flat in crops:
        seconds, matches = timed(verified_cropped_matches, crop, folder)
        results = [match.path for match in matches]
        verified_times.append(seconds)
        if matches and matches[0].placed_by == PLACED_BY_PIXELS:
            by_pixels += 1
            pixel_times.append(seconds)
        verified_ranks.append(rank_of(results, group_of[source], group_of))
        if verified_ranks[-1] != 1 and not is_flat:
            first = f"{Path(matches[0].path).name} by {matches[0].placed_by}" if matches else "nothing"
            misses.append(f"{Path(crop).name} (of {Path(source).name}): answered {first}")
        if not args.skip_cropped_search:
            seconds, results = timed(sil.cropped_search, crop, folder)
            plain_times.append(seconds)
            plain_ranks.append(rank_of(results, group_of[source], group_of))
        print(
            f"{Path(crop).name}: verified rank {verified_ranks[-1]}, "
            f"cropped_search rank {plain_ranks[-1] if plain_ranks else '-'}",
            flush=True,
        )
    empty, foreign_times = 0, []
    for crop, *_ in foreign:
        seconds, results = timed(verified_cropped_search, crop, folder)
        foreign_times.append(seconds)
        empty += not results
        print(f"{Path(crop).name}: {len(results)} results", flush=True)

    smooth_answered = []
    for crop, source, is_flat in smooth_foreign:
        results = verified_cropped_search(crop, folder)
        if results and not is_flat:
            smooth_answered.append(
                f"{Path(crop).name} (of {Path(source).name}): answered {Path(results[0]).name}"
            )
        print(f"{Path(crop).name}: {len(results)} results", flush=True)

    # One picture added to the indexed folder: what the next query costs beside a warm one, and
    # beside reading that picture alone (decoding, keypoints and thumbnails).
    from search_index_tools.verified.features import picture_features
    from search_index_tools.verified.search import PICTURE_SETTINGS, THUMBNAIL_SETTINGS

    added_costs, read_costs, warm_costs = [], [], []
    for number, held in enumerate(held_paths[:3]):
        added = Path(folder) / "added" / f"added_{number}{Path(held).suffix}"
        added.parent.mkdir(exist_ok=True)
        shutil.copyfile(held, added)
        added_costs.append(timed(verified_cropped_search, crops[0][0], folder)[0])
        warm_costs.append(timed(verified_cropped_search, crops[0][0], folder)[0])
        read_costs.append(timed(picture_features, (str(added), PICTURE_SETTINGS, THUMBNAIL_SETTINGS))[0])
    shutil.rmtree(Path(folder) / "added")
    verified_cropped_search(crops[0][0], folder)  # the added pictures leave the index again

    def recall(ranks, k, only_textured=False):
        kept = [rank for rank, flag in zip(ranks, of_textured) if flag or not only_textured]
        return 100.0 * sum(1 for rank in kept if rank is not None and rank <= k) / len(kept)

    def recalls(ranks):
        return (
            f"{recall(ranks, 1):.0f} % | {recall(ranks, 5):.0f} % | "
            f"{recall(ranks, 1, True):.0f} % | {recall(ranks, 5, True):.0f} %"
        )

    print()
    print(f"{len(crops)} crops ({sum(of_textured)} of textured photographs), {len(foreign)} foreign crops")
    print(
        "| search | recall@1 | recall@5 | recall@1 textured | recall@5 textured "
        "| foreign crops with no result | time per query |"
    )
    print("|---|---|---|---|---|---|---|")
    if plain_ranks:
        print(f"| cropped_search, cold store | | | | | | {statistics.median(plain_cold):.2f} s |")
        print(
            f"| cropped_search, warm store | {recalls(plain_ranks)} | - | {statistics.median(plain_times):.2f} s |"
        )
    print(f"| verified, cold store | | | | | | {statistics.median(cold):.2f} s |")
    print(
        f"| verified, warm store | {recalls(verified_ranks)} | {100.0 * empty / len(foreign):.0f} % "
        f"| {statistics.median(verified_times):.2f} s |"
    )
    if pixel_times:
        print(
            f"| verified, warm, the {by_pixels} crops placed by pixels | | | | | | "
            f"{statistics.median(pixel_times):.2f} s |"
        )
    print(f"| verified, warm, foreign crops | | | | | | {statistics.median(foreign_times):.2f} s |")
    print(
        f"\none picture added (3 times): the next query {statistics.median(added_costs):.2f} s, a warm one "
        f"{statistics.median(warm_costs):.2f} s, reading the picture alone {statistics.median(read_costs):.2f} s"
    )
    # A crop of one grey level says nothing of where it came from: any flat region fits it.
    with_content = [not f for f in flat]

    def recall_with_content(ranks):
        kept = [rank for rank, keep in zip(ranks, with_content) if keep]
        return 100.0 * sum(1 for rank in kept if rank == 1) / max(1, len(kept))

    print(
        f"\n{sum(flat)} crops are of one flat grey level; recall@1 over the other {sum(with_content)}: "
        f"verified {recall_with_content(verified_ranks):.0f} %"
        + (f", cropped_search {recall_with_content(plain_ranks):.0f} %" if plain_ranks else "")
    )
    if smooth_foreign:
        with_levels = sum(1 for *_, is_flat in smooth_foreign if not is_flat)
        print(f"smooth foreign crops: {len(smooth_answered)} of {with_levels} with content answered")
        for answered in smooth_answered:
            print(f"  {answered}")
    wrong = sum(1 for miss in misses if not miss.endswith("answered nothing"))
    print(f"verified misses among crops with content: {len(misses)} ({wrong} answered with another picture)")
    for miss in misses:
        print(f"  {miss}")


if __name__ == "__main__":
    main()
