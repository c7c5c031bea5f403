"""`find-images duplicates` and `find-images undo`: builders of their arguments and their
runners. The runners check, run and show on their own, with the command's shared pieces
(settings, progress pool, Ray binding, exit statuses) taken from cli."""

from __future__ import annotations

import argparse
import logging
import os
import sys
from collections.abc import Callable
from typing import Any

from .. import cli, formats
from ..cache_location import place_caches
from ..progress import ProgressReporter
from . import actions
from .finder import DEFAULT_SIMILARITY, SIMILARITY_LEVELS, DuplicateScan, parse_similarity, scan_duplicates
from .keeper import DEFAULT_RULE, RULES, is_under, parse_rule
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
    if args.move_to:
        target = os.path.abspath(args.move_to)
        if os.path.exists(target) and not os.path.isdir(target):
            raise cli.InputError(f"--move-to: not a folder: {args.move_to}")
        for folder in [*args.folders, *args.reference]:
            absolute = os.path.abspath(folder)
            if target == absolute or is_under(target, absolute) or is_under(absolute, target):
                raise cli.InputError(
                    f"--move-to: {args.move_to} overlaps the scanned folder {folder}; "
                    "moved pictures would be found again"
                )
    args.folder = args.folders[0]  # what cli.check_inputs checks besides the settings (and the report)
    return cli.check_inputs(args)


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
    if not scan.groups:
        cli.note(args, "no pictures are the same picture")
    if args.report:
        write_report(scan, args)
    if scan.groups:
        act(scan, args)
    return cli.FOUND if scan.groups else cli.NOTHING_FOUND


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
    try:
        summary = actions.apply(plan, scan, on_skip=on_skip)
    except actions.ActionError as error:
        raise cli.InputError(str(error)) from None
    if summary.log:
        cli.note(args, f"move log: {summary.log} (find-images undo {summary.log} puts the pictures back)")
    cli.note(
        args,
        f"{summary.done} picture{'' if summary.done == 1 else 's'} "
        f"{actions.PAST[plan.kind]}, {summary.skipped} skipped",
    )


def run_undo(args: argparse.Namespace) -> int:
    if not os.path.isfile(args.log):
        raise cli.InputError(f"log not found: {args.log}")
    try:
        summary = actions.undo(
            args.log, on_refuse=lambda path, why: cli.note(args, f"not put back {path}: {why}")
        )
    except actions.ActionError as error:
        raise cli.InputError(str(error)) from None
    cli.note(
        args, f"{summary.done} picture{'' if summary.done == 1 else 's'} put back, {summary.skipped} not"
    )
    return cli.FOUND if summary.skipped == 0 else cli.NOTHING_FOUND


def describe_failure(error: BaseException) -> str:
    filename = getattr(error, "filename", None)
    if isinstance(error, OSError) and filename:
        return f"{filename}: {error.strerror or cli.one_line(error)}"
    return f"cannot find duplicates: {cli.one_line(error)}"
