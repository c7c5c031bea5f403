"""`find-images duplicates` and `find-images undo`: builders of their arguments and their
runners. The runners check, run and show on their own, with the command's shared pieces
(settings, progress pool, Ray binding, exit statuses) taken from cli."""

from __future__ import annotations

import argparse
import json
import logging
import os
import sys
import time
from collections.abc import Callable
from typing import Any

from .. import cli, formats
from ..cache_location import place_caches
from ..progress import ProgressReporter
from ..readable_listing import unreadable_folders
from . import actions
from .finder import (
    DEFAULT_SIMILARITY,
    SIMILARITY_LEVELS,
    DuplicateScan,
    parse_similarity,
    reference_holding,
    scan_duplicates,
)
from .keeper import DEFAULT_RULE, RULES, UNDER, lies_within, parse_rule
from .output import groups_json, groups_text


def similarity_argument(text: str) -> str:
    try:
        parse_similarity(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error).removeprefix("similarity: ")) from None
    return text


def keep_argument(text: str) -> str:
    try:
        parse_rule(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error).removeprefix("keep: ")) from None
    return text


def add_duplicates_command(commands: cli.Commands) -> argparse.ArgumentParser:
    command = commands.add_parser(
        "duplicates",
        help="every group of pictures that are the same picture, across the folders",
        description="Finds every group of pictures that are the same picture (resized, recompressed, "
        "converted, cropped by up to a tenth, brighter or darker, grey, captioned, mirrored "
        "or turned) and says which one to keep. Nothing on disk changes without "
        "--move-to, --trash or --hardlink.",
    )
    command.add_argument("folders", metavar="FOLDER", nargs="+", help="folder trees to compare")
    command.add_argument(
        "--reference",
        metavar="DIR",
        action="append",
        default=[],
        help="a library to check the folders against (repeatable): only groups holding "
        "a picture outside it are shown, and nothing under it is ever touched",
    )
    levels = ", ".join(f"{name} {value}" for name, value in SIMILARITY_LEVELS.items())
    command.add_argument(
        "--similarity",
        metavar="LEVEL",
        type=similarity_argument,
        default=DEFAULT_SIMILARITY,
        help=f"how alike two pictures must be: {levels}, or a number up to 1 (default: {DEFAULT_SIMILARITY})",
    )
    command.add_argument(
        "--keep",
        metavar="RULE",
        type=keep_argument,
        default=DEFAULT_RULE,
        help=f"which picture of a group to keep: {', '.join(RULES)} or under:DIR "
        "(default: pixels: most pixels, then largest file, then oldest)",
    )
    command.add_argument(
        "--report",
        metavar="FILE.html",
        help="also write a self-contained HTML page showing the groups side by side",
    )
    action = command.add_mutually_exclusive_group()
    action.add_argument(
        "--move-to",
        metavar="DIR",
        help="move every picture but the keeper under DIR (same path relative to its "
        "folder; never overwriting), logging each move first; undo with "
        "find-images undo LOG",
    )
    action.add_argument("--trash", action="store_true", help="send every picture but the keeper to the trash")
    action.add_argument(
        "--hardlink",
        action="store_true",
        help="replace every picture but the keeper by a hard link to it (same file system only)",
    )
    command.set_defaults(runs_whole=run_duplicates)
    return command


def add_undo_command(commands: cli.Commands) -> argparse.ArgumentParser:
    command = commands.add_parser("undo", help="put back the pictures a duplicates --move-to moved")
    command.add_argument("log", metavar="LOG", help="the move log that duplicates --move-to wrote")
    command.set_defaults(runs_whole=run_undo)
    return command


def check_duplicates_inputs(args: argparse.Namespace) -> Any:
    for folder in [*args.folders, *args.reference]:
        cli.check_folder(folder)
    check_reference_places(args.folders, args.reference)
    if args.keep.startswith(UNDER):
        check_keep_folder(args.keep[len(UNDER) :])
    if args.move_to:
        check_move_target(args.move_to, [*args.folders, *args.reference])
    args.folder = args.folders[0]  # what cli.check_inputs checks besides the settings (and the report)
    return cli.check_inputs(args)


def overlapping(first: str, second: str) -> bool:
    """Whether one folder holds the other (or they are one), by their paths as given and by
    where their links lead."""
    first, second = os.path.abspath(first), os.path.abspath(second)
    return lies_within(first, second) or lies_within(second, first)


def check_reference_places(folders: list[str], references: list[str]) -> None:
    """A folder to check inside a reference library (or one, also through a link) would have
    every picture count as the library's: nothing reported, nothing touched, no word why."""
    for folder in folders:
        for reference in references:
            if reference_holding([os.path.abspath(folder)], [os.path.abspath(reference)]):
                raise cli.InputError(
                    f"--reference: {reference} holds the folder {folder}, whose pictures would "
                    "all count as the library's; give a folder outside it"
                )


def check_keep_folder(folder: str) -> None:
    """A mistyped folder in --keep under:DIR would silently leave the default rule at work."""
    if not os.path.isdir(folder):
        raise cli.InputError(f"--keep: folder not found: {folder}")


def check_move_target(move_to: str, scanned: list[str]) -> None:
    """Refuses, before the scan, a target that is no folder, that cannot be made or written,
    or that overlaps a scanned folder (also through a link)."""
    target = os.path.abspath(move_to)
    if os.path.exists(target) and not os.path.isdir(target):
        raise cli.InputError(f"--move-to: not a folder: {move_to}")
    for folder in scanned:
        if overlapping(target, folder):
            raise cli.InputError(
                f"--move-to: {move_to} overlaps the scanned folder {folder}; "
                "moved pictures would be found again"
            )
    existing = target
    while not os.path.lexists(existing):
        existing = os.path.dirname(existing)
    if not os.path.isdir(existing):
        raise cli.InputError(f"--move-to: {existing} is not a folder, so {move_to} cannot be made")
    if not os.access(existing, os.W_OK | os.X_OK, effective_ids=os.access in os.supports_effective_ids):
        what = "written" if existing == target else f"made in {existing}"
        raise cli.InputError(f"--move-to: {move_to} cannot be {what} (permission denied)")


def run_duplicates(args: argparse.Namespace) -> int:
    settings = check_duplicates_inputs(args)
    formats.register_decoders()  # before any worker starts, so forked workers have them too
    sil = cli.load_library(settings)
    if not args.verbose:
        logging.getLogger().setLevel(logging.WARNING)
    setup, problem = place_caches(
        sil,
        args.cache_dir,
        False,
        "--cache-dir" if args.cache_dir is not None else cli.settings_name(settings),
    )
    if problem:
        raise cli.InputError(problem)
    reporter = ProgressReporter(enabled=not args.quiet and sys.stderr.isatty(), stream=sys.stderr)
    unbind = cli.bind_pool(sil, args, reporter, settings, setup)
    try:
        scan = scan_duplicates(
            args.folders,
            references=args.reference,
            similarity=args.similarity,
            keep=args.keep,
            progress=reporter,
        )
    except (OSError, ValueError, RuntimeError) as error:
        raise cli.InputError(describe_failure(error)) from None
    finally:
        reporter.close()
        unbind()
    sys.stdout.write(groups_json(scan) if args.json else groups_text(scan) if scan.groups else "")
    for line in left_out_notes(scan, args.verbose):
        cli.note(args, line)
    if not scan.groups:
        cli.note(args, "no pictures are the same picture")
    if args.report:
        write_report(scan, args)
    if scan.groups:
        act(scan, args)
    return cli.FOUND if scan.groups else cli.NOTHING_FOUND


def left_out_notes(scan: DuplicateScan, verbose: bool) -> list[str]:
    """What was not compared: files listed as pictures that could not be read as pictures
    (empty, broken, unreadable, or of a format with no decoder) and sub-folders that could not
    be listed (the walk passes them in silence); how many, and with `verbose` which."""
    folders = scan.folders + scan.references
    unlisted = sorted({entry for folder in folders for entry in unreadable_folders(folder)})
    lines = []
    if scan.left_out:
        count = len(scan.left_out)
        lines.append(
            f"{count} file{'' if count == 1 else 's'} could not be read as "
            f"{'a picture' if count == 1 else 'pictures'} and {'was' if count == 1 else 'were'} "
            "left out" + ("" if verbose else " (--verbose names them)")
        )
    if unlisted:
        count = len(unlisted)
        lines.append(
            f"{count} folder{'' if count == 1 else 's'} could not be read, so the pictures in "
            f"{'it' if count == 1 else 'them'} were not compared"
            + ("" if verbose else " (--verbose names them)")
        )
    if verbose:
        lines += [f"left out {path}" for path in scan.left_out]
        lines += [f"cannot read {path}: {reason}" for path, reason in unlisted]
    return lines


def write_report(scan: DuplicateScan, args: argparse.Namespace) -> None:
    from .report import write_duplicates_report

    try:
        target = write_duplicates_report(scan, args.report, planned_action(args))
    except OSError as error:
        raise cli.InputError(
            f"--report: cannot write {args.report}: {error.strerror or cli.one_line(error)}"
        ) from None
    cli.note(args, f"report written to {os.path.abspath(target)}")


def planned_action(args: argparse.Namespace) -> actions.Plan | None:
    if args.move_to:
        return actions.Plan("move", os.path.abspath(args.move_to))
    if args.trash:
        return actions.Plan("trash")
    if args.hardlink:
        return actions.Plan("hardlink")
    return None


def act(scan: DuplicateScan, args: argparse.Namespace) -> None:
    plan = planned_action(args)
    if plan is None:
        return
    on_skip: Callable[[str, str], None] = lambda path, why: cli.note(args, f"skipped {path}: {why}")  # noqa: E731
    on_log: Callable[[str], None] = lambda log: cli.note(  # noqa: E731
        args, f"move log: {log} (find-images undo {log} puts the pictures back)"
    )
    try:
        summary = actions.apply(plan, scan, on_skip=on_skip, on_log=on_log)
    except actions.ActionError as error:
        raise cli.InputError(str(error)) from None
    cli.note(
        args,
        f"{summary.done} picture{'' if summary.done == 1 else 's'} "
        f"{actions.PAST[plan.kind]}, {summary.skipped} skipped",
    )


def run_undo(args: argparse.Namespace) -> int:
    if os.path.isdir(args.log):
        raise cli.InputError(f"log is a folder: {args.log}")
    if not os.path.isfile(args.log):
        raise cli.InputError(f"log not found: {args.log}")
    started = time.monotonic()
    put_back: list[str] = []
    refused: list[dict[str, str]] = []

    def on_refuse(path: str, why: str) -> None:
        refused.append({"path": path, "reason": why})
        cli.note(args, f"not put back {path}: {why}")

    try:
        summary = actions.undo(args.log, on_refuse=on_refuse, on_put_back=put_back.append)
    except actions.ActionError as error:
        raise cli.InputError(str(error)) from None
    cli.note(
        args, f"{summary.done} picture{'' if summary.done == 1 else 's'} put back, {summary.skipped} not"
    )
    if args.json:
        sys.stdout.write(undo_json(args.log, put_back, refused, time.monotonic() - started))
    return cli.FOUND if summary.skipped == 0 else cli.NOTHING_FOUND


def undo_json(log: str, put_back: list[str], refused: list[dict[str, str]], elapsed: float) -> str:
    """What undo did, as one JSON document: the pictures put back (their original paths, in
    the order they went back) and those not put back, each with the reason."""
    document = {
        "command": "undo",
        "log": os.path.abspath(log),
        "put_back": put_back,
        "not_put_back": refused,
        "elapsed_seconds": round(elapsed, 3),
    }
    return json.dumps(document, indent=2) + "\n"


def describe_failure(error: BaseException) -> str:
    filename = getattr(error, "filename", None)
    if isinstance(error, OSError) and filename:
        return f"{filename}: {error.strerror or cli.one_line(error)}"
    return f"cannot find duplicates: {cli.one_line(error)}"
