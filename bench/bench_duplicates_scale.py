"""The duplicate finder on large folders of real picture files: a first scan, an unchanged
folder (the scan reads no picture), and a folder where a few files changed, at 20,000 and
100,000 pictures, with peak memory.

    .venv/bin/python bench/bench_duplicates_scale.py generate [--count 100000]
    .venv/bin/python bench/bench_duplicates_scale.py measure [--sizes 20000 100000] [--runs 3]

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
"""
from __future__ import annotations

import argparse
import io
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

DATA_ROOT = Path(os.environ.get("DUPLICATES_SCALE_DATA", HERE.parent.parent / "data_h21s"))
PER_FOLDER = 1000
COPY_EVERY = 10
SIDE = (160, 120)


def _copy(picture, number: int):
    from PIL import Image, ImageEnhance, ImageOps

    edits = number // COPY_EVERY % 4
    if edits == 0:
        return picture.resize((SIDE[0] * 2 // 3, SIDE[1] * 2 // 3), Image.LANCZOS)
    if edits == 1:
        return ImageEnhance.Brightness(picture).enhance(1.25)
    if edits == 2:
        return ImageOps.mirror(picture)
    return picture.convert("L")


def picture_path(root: Path, number: int) -> Path:
    return root / f"d{number // PER_FOLDER:03d}" / f"p{number:06d}.jpg"


def generate(count: int) -> None:
    from PIL import Image

    from bench_support import photo_array

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
            picture = Image.fromarray(photo_array(*SIDE, seed=1_000_000 + number))
            previous = picture
        if path.exists():
            continue
        data = io.BytesIO()
        picture.save(data, "JPEG", quality=85)
        temporary = path.with_suffix(".part")
        temporary.write_bytes(data.getvalue())
        os.replace(temporary, path)
    print(f"{count} pictures under {root} in {time.perf_counter() - started:.0f} s")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    make = commands.add_parser("generate")
    make.add_argument("--count", type=int, default=100_000)
    args = parser.parse_args()
    if args.command == "generate":
        generate(args.count)


if __name__ == "__main__":
    main()
