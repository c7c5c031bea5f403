"""How the pixel stage's acceptance bars should tighten with the number of pictures weighed.

    .venv/bin/python bench/bench_verified_pixel_acceptance.py [--data DIR] [--only NAMES]

Needs the 155-picture library and the crops of bench_verified_scale.py (run it once with
--sizes 155). Every crop with content (its own crops of the library's pictures, foreign ones and
smooth foreign ones) is searched with the pixel stage refining every picture's best spot instead
of the few best, and every agreement worked out on the fine thumbnails is kept. A fit's "need"
is the share s by which the bars would have to be scaled for it to pass (the unexplained shares
1 - correlation and 1 - structure correlation allowed times s, the mean difference times
sqrt s; a fit without the structure the bars ask for never passes): 1 means the bars as they
are. Printed:

- the need of each own crop's right picture (for the crops that reach the pixel stage),
- the lowest need of an unrelated picture per crop (the best chance fit),
- the share G(s) of unrelated (crop, picture) pairs whose need is at most s, and the exponent d
  of G(s) ~ s ** d fitted over s in 1..6: N pictures give N G(s) chance fits, so bars that keep
  that count as it is at PixelSettings.freely_weighed pictures scale s as N ** (-1 / d),
- for the tightening set in PixelSettings: s at 20,000 and 100,000 pictures, and how many right
  pictures and unrelated pairs pass there.
"""

import argparse
import dataclasses
import json
import math
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import numpy as np  # noqa: E402

import search_index_lib as sil  # noqa: E402
from search_index_tools.verified import pixels as verified_pixels  # noqa: E402
from search_index_tools.verified import search as verified_search  # noqa: E402

SIZE = 155


def need(agreement, settings):
    """The share the bars must be scaled by for this agreement to pass (inf: never)."""
    correlation, difference, structure, structure_correlation = agreement
    if structure < settings.min_structure:
        return math.inf
    return max(
        (1 - correlation) / (1 - settings.min_correlation),
        (1 - structure_correlation) / (1 - settings.min_structure_correlation),
        (difference / settings.max_mean_difference) ** 2,
    )


def refined_agreements(crops, folder):
    """{crop: (its source, {picture name: the lowest need of its refined spot})}, every
    picture's spot refined."""
    settings = verified_pixels.PIXEL_SETTINGS
    verified_pixels.PIXEL_SETTINGS = dataclasses.replace(settings, candidates=10**9)
    agreement, place = verified_pixels._verified_match.grey_agreement, verified_pixels.place
    current = {}

    def kept_agreement(crop, window):
        result = agreement(crop, window)
        needs = current["needs"]
        needs[current["path"]] = min(needs.get(current["path"], math.inf), need(result, settings))
        return result

    def placed(crop, candidate, *args, **kwargs):
        current["path"] = Path(candidate.path).name
        return place(crop, candidate, *args, **kwargs)

    verified_pixels._verified_match.grey_agreement = kept_agreement
    verified_pixels.place = placed
    found = {}
    try:
        for crop, source, _ in crops:
            current["needs"] = {}
            verified_search.verified_cropped_matches(crop, folder)
            if current["needs"]:
                found[Path(crop).stem] = (source, current["needs"])
    finally:
        verified_pixels._verified_match.grey_agreement = agreement
        verified_pixels.place = place
        verified_pixels.PIXEL_SETTINGS = settings
    return found


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--data", default=str(HERE / "data" / "verified_scale"))
    parser.add_argument("--only", nargs="+", help="these crops only (file names without suffix)")
    args = parser.parse_args()
    root = Path(args.data) / str(SIZE)
    sil.CACHED_INDEXED = str(root / "index.faiss")
    sil.CACHE_METADATA = str(root / "metadata.txt")
    queries = json.loads(Path(args.data, "queries.json").read_text())
    group_of_name = {Path(path).name: group for path, group in queries["group_in_library"].items()}
    crops = [
        crop
        for crop in queries["crops"] + queries["foreign"]
        if not crop[2] and (not args.only or Path(crop[0]).stem in args.only)
    ]
    start = time.perf_counter()
    found = refined_agreements(crops, str(root / "library"))
    print(
        f"{len(found)} of {len(crops)} crops with content reach the pixel stage ({time.perf_counter() - start:.0f} s)"
    )

    right, chance, best_chance = [], [], []
    for name, (source, needs) in sorted(found.items()):
        group = queries["group_of"].get(source)  # None: a foreign crop
        own = [
            value for picture, value in needs.items() if group is not None and group_of_name[picture] == group
        ]
        others = {picture: value for picture, value in needs.items() if group_of_name[picture] != group}
        if own:
            right.append((min(own), name))
        chance += list(others.values())
        if others:
            picture = min(others, key=others.get)
            best_chance.append((others[picture], name, picture))
    print("right pictures' needs:", " ".join(f"{name} {value:.3f}" for value, name in sorted(right)))
    print(
        "lowest unrelated needs:",
        " ".join(f"{name} {value:.3f} ({picture})" for value, name, picture in sorted(best_chance)[:12]),
    )
    chance = np.array(chance)
    shares = np.array([1.0, 1.5, 2.0, 3.0, 4.0, 6.0])
    counts = np.array([(chance <= share).sum() for share in shares])
    print(f"{len(chance)} unrelated pairs; pairs with need <= s:")
    for share, count in zip(shares, counts):
        print(f"  s {share:.1f}: {count} (G {count / len(chance):.2e})")
    usable = counts > 0
    exponent = np.polyfit(np.log(shares[usable]), np.log(counts[usable] / len(chance)), 1)[0]
    print(f"G(s) ~ s ** {exponent:.2f}: tightening 1 / d = {1 / exponent:.2f}")
    settings = verified_pixels.PIXEL_SETTINGS
    for pictures in (settings.freely_weighed, 20_000, 100_000):
        share = (settings.freely_weighed / pictures) ** settings.tightening
        print(
            f"{pictures} pictures, tightening {settings.tightening}: s {share:.2f}; right pictures passing "
            f"{sum(value <= share for value, _ in right)} of {len(right)}, unrelated pairs passing "
            f"{int((chance <= share).sum())}"
        )


if __name__ == "__main__":
    main()
