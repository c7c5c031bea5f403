#!/usr/bin/env python3
"""Find images in a folder tree from the command line.

    find_images.py similar QUERY FOLDER   images that look most like QUERY, nearest first
    find_images.py crop CROP FOLDER       images that contain the region CROP, best first

Options:
    --settings DIR   folder holding the settings module constants.py (default: the folder of
                     this script, whose constants.py keeps its caches in ~/.cache/search_index_lib)

Exit status: 0 when something was found, 1 when nothing was, 2 on a usage or input error.
"""
import argparse
import os
import sys
import threading
import time
from pathlib import Path

FOUND, NOTHING_FOUND, FAILED = 0, 1, 2


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description="Find images in a folder tree.")
    parser.add_argument("--settings", metavar="DIR", default=str(Path(__file__).resolve().parent),
                        help="folder holding constants.py (default: %(default)s)")
    commands = parser.add_subparsers(dest="command", required=True)
    similar = commands.add_parser("similar", help="images most like QUERY, nearest first")
    similar.add_argument("query", metavar="QUERY")
    similar.add_argument("folder", metavar="FOLDER")
    crop = commands.add_parser("crop", help="images that contain the region CROP, best first")
    crop.add_argument("query", metavar="CROP")
    crop.add_argument("folder", metavar="FOLDER")
    return parser.parse_args(argv)


def check_inputs(args):
    """Returns an error message for inputs that cannot work, or None."""
    if not (Path(args.settings) / "constants.py").is_file():
        return f"no settings module: {Path(args.settings) / 'constants.py'} does not exist"
    if not Path(args.folder).is_dir():
        return f"folder not found: {args.folder}"
    if not Path(args.query).is_file():
        return f"query image not found: {args.query}"
    return None


class ElapsedTime:
    """Shows the elapsed time on standard error while a long search (or an index build of a
    large folder) runs, so the user is not left staring at nothing."""

    def __init__(self, label, delay=1.0, interval=None):
        self.label = label
        self.delay = delay
        self.live = sys.stderr.isatty()
        self.interval = interval or (0.2 if self.live else 10.0)
        self.done = threading.Event()
        self.shown = False
        self.thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        self.start = time.monotonic()
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.done.set()
        self.thread.join()
        if self.shown and self.live:
            sys.stderr.write("\n")
        return False

    def _run(self):
        if self.done.wait(self.delay):
            return
        while not self.done.is_set():
            elapsed = time.monotonic() - self.start
            line = f"{self.label}: {elapsed:.0f} s elapsed"
            sys.stderr.write(f"\r{line}" if self.live else f"{line}\n")
            sys.stderr.flush()
            self.shown = True
            self.done.wait(self.interval)


def main(argv=None):
    args = parse_arguments(sys.argv[1:] if argv is None else argv)
    problem = check_inputs(args)
    if problem:
        print(f"find_images: {problem}", file=sys.stderr)
        return FAILED
    sys.path.insert(0, os.path.abspath(args.settings))
    import search_index_lib

    search = search_index_lib.search_image if args.command == "similar" else search_index_lib.cropped_search
    try:
        with ElapsedTime(f"searching {args.folder}"):
            paths = search(args.query, args.folder)
    except (OSError, ValueError, search_index_lib.UnidentifiedImageError) as error:
        print(f"find_images: cannot search with {args.query}: {error}", file=sys.stderr)
        return FAILED
    for path in paths:
        print(path)
    return FOUND if paths else NOTHING_FOUND


if __name__ == "__main__":
    sys.exit(main())
