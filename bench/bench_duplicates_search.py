"""Quality and cost of the duplicate finder's candidate search on a folder large enough for
the inverted-file index, next to the exact search and to cheaper settings.

    .venv/bin/python bench/bench_duplicates_search.py [--photos 40] [--generated 12000] [--runs 3]
    .venv/bin/python bench/bench_duplicates_search.py --photos 0 --generated 20000

The folder: bench_duplicates.py's real photographs with their edited copies (every edit and
combination, the same ground truth), plus the first `--generated` small photo-like pictures
of bench_duplicates_scale.py's library (DUPLICATES_SCALE_DATA; generated when missing). Those
hold groups of their own (every tenth picture is an edited copy of the one before it), which
count as ground truth beside the photographs' groups; they share no content with the
photographs. Enough of them take the structured pictures' rows (eight per picture) above
grouping.FLAT_LIMIT, where a scan searches an inverted-file index.

Every picture is read once (a first scan filling a store in a fresh cache folder); then, in
this process, for each search setting: the candidate pairs of the road without the store
(grouping.candidate_list, which a first scan's store road matches), its processor time
(every thread; median of `--runs`), and the pairwise precision and recall of the groups at
every similarity level, on the whole folder and on its photographs and generated pictures
apart. The first setting forces the exact search; the second is the search as it stands
(the package's own index, untouched); the others build the inverted file the same way with
other settings. Verdicts do not depend on the search, so each (pair, transforms, level) is
compared once and shared between settings. Last, per setting, the true pairs found by the
exact search that it loses, and those it finds that the exact search does not.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import statistics
import sys
import tempfile
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any, NamedTuple

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))  # the suite's settings module
sys.path.insert(0, str(HERE))

import numpy as np  # noqa: E402

import search_index_lib as sil  # noqa: E402
from search_index_tools.duplicates import descriptor, finder, grouping, pair_verdicts  # noqa: E402
from search_index_tools.duplicates.finder import SIMILARITY_LEVELS  # noqa: E402


class Setting(NamedTuple):
    name: str
    exact: bool = False  # every row searched exactly, whatever the folder's size
    own: bool = False  # the package's index as it stands
    probes: int = 24  # lists probed by the sharp search
    blurred_probes: int = 24  # lists probed by the blurred search
    lists_factor: float = 1.0  # lists = factor x the square root of the rows
    blurred_neighbours: int = grouping.BLURRED_NEIGHBOURS


SETTINGS = [
    Setting("exact search", exact=True),
    Setting(f"inverted file as it stands ({grouping.IVF_PROBES} probes)", own=True),
    Setting("24 probes", probes=24, blurred_probes=24),
    Setting("16 probes", probes=16, blurred_probes=16),
    Setting("12 probes", probes=12, blurred_probes=12),
    Setting("8 probes", probes=8, blurred_probes=8),
    Setting("24 probes, blurred search 8", blurred_probes=8),
    Setting("24 probes, blurred search 6 neighbours", blurred_neighbours=6),
    Setting("half the lists, 12 probes", lists_factor=0.5, probes=12, blurred_probes=12),
    Setting("twice the lists, 48 probes", lists_factor=2.0, probes=48, blurred_probes=48),
    Setting("twice the lists, 24 probes", lists_factor=2.0),
    Setting("twice the lists, 16 probes", lists_factor=2.0, probes=16, blurred_probes=16),
    Setting("twice the lists, 12 probes", lists_factor=2.0, probes=12, blurred_probes=12),
    Setting("1.5 times the lists, 16 probes", lists_factor=1.5, probes=16, blurred_probes=16),
    Setting("1.5 times the lists, 12 probes", lists_factor=1.5, probes=12, blurred_probes=12),
    Setting("36 probes", probes=36, blurred_probes=36),
    Setting("48 probes", probes=48, blurred_probes=48),
]


# ------------------------------------------------------------------------------ the folder


def folder_and_truth(photos: int, generated: int) -> tuple[list[str], dict[str, object]]:
    """The folders to scan and the source of every picture in them."""
    import bench_duplicates
    import bench_duplicates_scale as scale

    sources: dict[str, object] = {}
    folders = []
    if photos:
        photo_folder, truth = bench_duplicates.build_folder(photos)
        sources.update((path, ("photo", source)) for path, source in truth.items())
        folders.append(str(photo_folder))
    subfolders = -(-generated // scale.PER_FOLDER)
    root = scale.DATA_ROOT / "library"
    if not all(scale.picture_path(root, number).exists() for number in range(subfolders * scale.PER_FOLDER)):
        scale.generate(subfolders * scale.PER_FOLDER)
    first = None
    for number in range(subfolders * scale.PER_FOLDER):
        # Every tenth picture is a copy of the one before it (bench_duplicates_scale.generate).
        if number % scale.COPY_EVERY != scale.COPY_EVERY - 1:
            first = number
        sources[str(scale.picture_path(root, number))] = ("generated", first)
    folders += [str(root / f"d{number:03d}") for number in range(subfolders)]
    return folders, sources


def read_once(folders: list[str], cache: str) -> tuple[list[str], np.ndarray, list[tuple[int, int]]]:
    """Paths, thumbnails and sizes of the usable pictures, after a first scan filled the store."""
    sil.CACHED_INDEXED = os.path.join(cache, "index.faiss")
    sil.CACHE_METADATA = os.path.join(cache, "metadata.txt")
    import bench_duplicates

    finder.scan_duplicates(folders)
    pictures, thumbnails = bench_duplicates.stored_pictures(folders)
    return [read.path for read in pictures], thumbnails, [(read.width, read.height) for read in pictures]


# ------------------------------------------------------------------------- the settings


@contextlib.contextmanager
def searching_with(setting: Setting) -> Iterator[None]:
    """The package's candidate search under `setting`, meanwhile."""
    own_index, own_pairs, own_flat = grouping._neighbour_index, grouping.candidate_pairs, grouping.FLAT_LIMIT
    blurred = [False]

    def index_of(rows: np.ndarray, inner_product: bool) -> Any:
        if setting.exact or len(rows) <= grouping.FLAT_LIMIT:
            return own_index(rows, inner_product)
        return inverted_file(rows, inner_product, setting, blurred[0])

    def pairs(
        vectors: np.ndarray, inner_product: bool, limit: float, neighbours: int | None = None, found=None
    ):
        blurred[0] = neighbours == grouping.BLURRED_NEIGHBOURS and limit == grouping.BLURRED_MINIMUM
        if blurred[0]:
            neighbours = setting.blurred_neighbours
        try:
            return own_pairs(vectors, inner_product, limit, neighbours, found)
        finally:
            blurred[0] = False

    if not setting.own:
        grouping._neighbour_index, grouping.candidate_pairs = index_of, pairs
    if setting.exact:
        grouping.FLAT_LIMIT = 10**12
    try:
        yield
    finally:
        grouping._neighbour_index, grouping.candidate_pairs, grouping.FLAT_LIMIT = (
            own_index,
            own_pairs,
            own_flat,
        )


def inverted_file(rows: np.ndarray, inner_product: bool, setting: Setting, blurred: bool) -> Any:
    """The inverted-file index the package builds (same sample, seed and training), with the
    setting's lists and probes."""
    import faiss

    dimension = rows.shape[1]
    metric = faiss.METRIC_INNER_PRODUCT if inner_product else faiss.METRIC_L2
    lists = int(setting.lists_factor * grouping.IVF_LISTS_PER_ROOT * np.sqrt(len(rows)))
    quantiser = faiss.IndexFlatIP(dimension) if inner_product else faiss.IndexFlatL2(dimension)
    index = faiss.IndexIVFFlat(quantiser, dimension, lists, metric)
    size = min(len(rows), 40 * lists)
    sample = np.random.default_rng(grouping._SEED).choice(len(rows), size=size, replace=False)
    index.cp.seed = grouping._SEED
    with grouping.faiss_threads(faiss):
        index.train(rows[np.sort(sample)])
        index.add(rows)
    index.nprobe = setting.blurred_probes if blurred else setting.probes
    return index


# ---------------------------------------------------------------------------- the scores


def true_pairs(paths: list[str], sources: dict[str, object]) -> set[tuple[int, int]]:
    by_source: dict[object, list[int]] = {}
    for position, path in enumerate(paths):
        by_source.setdefault(sources[path], []).append(position)
    return {(a, b) for members in by_source.values() for i, a in enumerate(members) for b in members[i + 1 :]}


def found_pairs(count: int, pairs: list[grouping.Pair]) -> set[tuple[int, int]]:
    return {
        (a, b)
        for members in grouping.connected_groups(count, pairs)
        for i, a in enumerate(members)
        for b in members[i + 1 :]
    }


def scores(found: set[tuple[int, int]], truth: set[tuple[int, int]]) -> tuple[float, float, int]:
    right = len(found & truth)
    return (right / len(found) if found else 1.0), (right / len(truth) if truth else 1.0), len(found)


class Verdicts:
    """Verdicts on (first, second, transforms, plain) per threshold, each compared once."""

    def __init__(self, thumbnails: np.ndarray, sizes: list[tuple[int, int]]):
        self.thumbnails, self.sizes = thumbnails, sizes
        self.known: dict[float, dict[tuple[int, int, int, bool], grouping.Pair | None]] = {}

    def pairs(self, candidates: list[tuple[int, int, int, bool]], threshold: float) -> list[grouping.Pair]:
        known = self.known.setdefault(threshold, {})
        unknown = [candidate for candidate in candidates if candidate not in known]
        if unknown:
            found = pair_verdicts.verdicts(self.thumbnails, self.sizes, unknown, threshold)
            for candidate, same, transform, similarity, cropped in zip(unknown, *found):
                known[candidate] = (
                    grouping.Pair(
                        candidate[0], candidate[1], int(transform), float(similarity), bool(cropped)
                    )
                    if same
                    else None
                )
        return [pair for pair in (known[candidate] for candidate in candidates) if pair is not None]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument(
        "--photos",
        type=int,
        default=40,
        help="photographs given edited copies (0: none, no photographs at all)",
    )
    parser.add_argument("--generated", type=int, default=12_000, help="generated pictures beside them")
    parser.add_argument("--runs", type=int, default=3, help="timed runs of each search (the exact one: once)")
    parser.add_argument(
        "--no-exact",
        action="store_true",
        help="leave out the exact search (at 100,000 pictures it takes longer than the rest); "
        "the settings are then scored against the ground truth alone",
    )
    parser.add_argument(
        "--only",
        nargs="*",
        type=int,
        help="numbers of the settings to measure, from 0 (the exact search and the search as it "
        "stands are always measured)",
    )
    args = parser.parse_args()
    folders, sources = folder_and_truth(args.photos, args.generated)
    with tempfile.TemporaryDirectory() as cache:
        started = time.perf_counter()
        paths, thumbnails, sizes = read_once(folders, cache)
    print(f"{len(paths)} pictures read in {time.perf_counter() - started:.0f} s; load {os.getloadavg()}")
    plain = descriptor.structure(thumbnails) < descriptor.PLAIN_STRUCTURE
    print(
        f"{int((~plain).sum())} structured pictures ({8 * int((~plain).sum())} rows, the inverted file "
        f"above {grouping.FLAT_LIMIT}), {int(plain.sum())} plain"
    )
    truth = true_pairs(paths, sources)
    kinds = {
        kind: {pair for pair in truth if sources[paths[pair[0]]][0] == kind}  # type: ignore[index]
        for kind in ("photo", "generated")
    }
    within = {kind: {p for p, path in enumerate(paths) if sources[path][0] == kind} for kind in kinds}  # type: ignore[index]
    within = {kind: members for kind, members in within.items() if members}
    print(
        f"true pairs: {len(truth)} ({len(kinds['photo'])} among photographs, {len(kinds['generated'])} generated)"
    )
    verdicts = Verdicts(thumbnails, sizes)
    exact_found: dict[float, set[tuple[int, int]]] = {}
    chosen = [
        setting
        for number, setting in enumerate(SETTINGS)
        if number < 2 or args.only is None or number in args.only
    ]
    if args.no_exact:
        chosen = [setting for setting in chosen if not setting.exact]
    for setting in chosen:
        times = []
        with searching_with(setting):
            for _ in range(1 if setting.exact else args.runs):
                cpu = time.process_time()
                candidates = grouping.candidate_list(thumbnails, plain)
                times.append(time.process_time() - cpu)
        print(
            f"{setting.name}: candidate search {statistics.median(times):.2f} s of processor time "
            f"({', '.join(f'{t:.2f}' for t in times)}), {len(candidates)} candidate pairs",
            flush=True,
        )
        for level, threshold in SIMILARITY_LEVELS.items():
            found = found_pairs(len(paths), verdicts.pairs(candidates, threshold))
            line = [f"  {level:>6}: all {scores(found, truth)[0]:.4f} / {scores(found, truth)[1]:.4f}"]
            for kind, members in within.items():
                own = {pair for pair in found if pair[0] in members and pair[1] in members}
                precision, recall, _ = scores(own, kinds[kind])
                line.append(f"{kind} {precision:.4f} / {recall:.4f}")
            if setting.exact:
                exact_found[threshold] = found
            elif exact_found:
                lost = len((exact_found[threshold] - found) & truth)
                gained = len((found - exact_found[threshold]) & truth)
                wrong = len(found - truth) - len(exact_found[threshold] - truth)
                line.append(f"true pairs lost against exact {lost}, gained {gained}; false pairs {wrong:+d}")
            print(", ".join(line) + f" ({len(found)} pairs)", flush=True)
    print(f"(precision / recall of the groups' pairs); load {os.getloadavg()}")


if __name__ == "__main__":
    main()
