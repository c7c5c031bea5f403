"""What a run of find-images costs before it does any work, and the duplicate finder's
resampling tables, which the command builds when it imports the finder for its parser.

    .venv/bin/python bench/bench_command_start.py [--repeat 5] [--baseline PATH/TO/find-images]

In this process: the tables built through np.interp, one identity column at a time, against
the direct construction the finder uses (checked equal to the bit), medians of --repeat.
Then the installed command (and, with --baseline, another installed find-images, in turns):
`--version`, `similar --help`, and a warm `index` of six small pictures, each a fresh process,
wall time medians of --repeat.
"""

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))  # the benchmarks' settings module

import numpy as np  # noqa: E402
from bench_support import save_photo  # noqa: E402

from search_index_tools.duplicates import descriptor  # noqa: E402
from search_index_tools.duplicates.reading import THUMBNAIL_SIDE  # noqa: E402

FIND_IMAGES = Path(sys.executable).parent / "find-images"


def interpolated(near, far):
    span = THUMBNAIL_SIDE - near - far
    positions = near + (np.arange(descriptor.FINE_SIDE) + 0.5) * span / descriptor.FINE_SIDE - 0.5
    identity = np.eye(THUMBNAIL_SIDE)
    pixels = np.arange(THUMBNAIL_SIDE)
    return np.stack(
        [np.interp(positions, pixels, identity[:, column]) for column in range(THUMBNAIL_SIDE)], 1
    )


def tables(resampling):
    return [
        descriptor._centring(
            np.array([resampling(near[side], far[side]) for near, far in descriptor._AXIS_CUTS])
        )
        for side in (0, 1)
    ]


def median_seconds(action, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def time_tables(repeat):
    direct, through_interp = tables(descriptor._resampling), tables(interpolated)
    assert all(a.tobytes() == b.tobytes() for a, b in zip(direct, through_interp)), "tables differ"
    for name, resampling in (("np.interp per column", interpolated), ("direct", descriptor._resampling)):
        print(
            f"resampling tables, {name}: {median_seconds(lambda: tables(resampling), repeat) * 1000:.1f} ms"
        )


def time_command(programs, repeat, work):
    settings, photos = work / "settings", work / "photos"
    settings.mkdir()
    text = (Path(__file__).resolve().parent / "constants.py").read_text()
    for old, new in (("test_cache_metadata.txt", "metadata.txt"), ("test_cached_index.faiss", "index.faiss")):
        text = text.replace(f'"{old}"', repr(str(work / new)))
    (settings / "constants.py").write_text(text)
    for seed in range(6):
        save_photo(photos / f"photo_{seed}.png", 240, 180, seed=seed)
    runs = {
        "--version": ["--version"],
        "similar --help": ["similar", "--help"],
        "warm index of 6 pictures": ["--settings", str(settings), "--quiet", "index", str(photos)],
    }
    for program in programs:  # the first index run builds; the timed ones are warm
        subprocess.run([program, *runs["warm index of 6 pictures"]], check=True, capture_output=True)
    for name, words in runs.items():
        times = {program: [] for program in programs}
        for _ in range(repeat):
            for program in programs:  # in turns, so that load changes weigh on both alike
                start = time.perf_counter()
                subprocess.run([program, *words], check=True, capture_output=True)
                times[program].append(time.perf_counter() - start)
        line = ", ".join(
            f"{program}: {statistics.median(spent) * 1000:.0f} ms" for program, spent in times.items()
        )
        print(f"{name}: {line}")


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--baseline", help="another installed find-images to time in turns with this one")
    args = parser.parse_args()
    time_tables(args.repeat)
    programs = [str(FIND_IMAGES), *([args.baseline] if args.baseline else [])]
    with tempfile.TemporaryDirectory() as work:
        time_command(programs, args.repeat, Path(work))


if __name__ == "__main__":
    main()
