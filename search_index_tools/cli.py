"""find-images: find pictures in a folder tree from the command line.

    find-images similar QUERY FOLDER   pictures that look most like QUERY, nearest first
    find-images crop CROP FOLDER       pictures that contain the region CROP, best first
    find-images index FOLDER           build or refresh the cached index ahead of time
    find-images duplicates FOLDER...   every group of pictures that are the same picture
    find-images undo LOG               put back what duplicates --move-to moved
    find-images --ray [ADDRESS] ...    any of them with the pool work on a Ray cluster

Exit status: 0 something found (or indexed), 1 nothing found, 2 bad input, 130 interrupted.

Layout: each subcommand has a builder (`add_*_command`) that declares its arguments and
names the function that runs it; switches shared by several subcommands are added by
`add_search_options` and `add_global_options`; the pool the module uses is chosen in
`bind_pool`. A new switch goes into one builder and, if it changes how the work is run,
into the runner or `bind_pool`.
"""

import argparse
import contextlib
import logging
import os
import sys
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from types import ModuleType
from typing import Any, NoReturn, TypeAlias

from . import formats, output, searches, workers
from .cache_location import place_caches
from .library_output import CapturedOutput
from .library_output import summary as library_summary
from .progress import ProgressReporter, failure_note, interruption_note
from .query_check import crop_problem
from .report_target import refusal as report_refusal

PROGRAM = "find-images"
FOUND, NOTHING_FOUND, BAD_INPUT, INTERRUPTED = 0, 1, 2, 130
RAY_LOCAL = "local"
DEFAULT_SETTINGS = Path(__file__).resolve().parent / "default_settings"


class InputError(Exception):
    """Bad input: reported as one line naming the argument or file, exit status 2."""


class Interrupted(Exception):
    """Ctrl-C: reported as one line saying how far the work got, exit status 130."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise InputError(f"{message} (see {self.prog} --help)")


# (argparse's class is generic only to type checkers.)
Commands: TypeAlias = "argparse._SubParsersAction[Parser]"
# What a subcommand's runner gives back: a search's results or an index build's summary.
Result = searches.Outcome | searches.IndexSummary
Runner = Callable[[ModuleType, argparse.Namespace, ProgressReporter], Result]


# ----------------------------------------------------------------------------- arguments


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, got {text!r}")
    return value


# What --ray runs on the cluster, said in each subcommand's help.
RAY_WORK = {
    "similar": "the index build's picture reading",
    "index": "the index build's picture reading",
    "crop": "the matching of crop --plain (the verified search's pool always runs here)",
}


def add_global_options(parser: argparse.ArgumentParser, default: str | None = None) -> None:
    """Switches every subcommand takes, before or after its name. On the subcommands the
    defaults are suppressed, so a value given before the name is not overwritten."""

    def given(value: Any) -> Any:
        return argparse.SUPPRESS if default is argparse.SUPPRESS else value

    parser.add_argument(
        "--settings",
        metavar="DIR",
        default=given(None),
        help="folder holding the settings module constants.py (default: settings "
        "that keep the caches in $XDG_CACHE_HOME or ~/.cache)",
    )
    parser.add_argument(
        "--cache-dir",
        metavar="DIR",
        default=given(None),
        help="keep the cache files (index, fingerprint, feature stores) in DIR "
        "instead of where the settings put them; DIR is made if missing",
    )
    parser.add_argument(
        "--json",
        action="store_true",
        default=given(False),
        help="print one JSON document and nothing else on standard output",
    )
    parser.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        default=given(False),
        help="nothing on standard error but a failure: no progress bar, no notes, no library warnings",
    )
    parser.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        default=given(False),
        help="also show the module's log lines (index cache use and builds), the "
        "files left out and the picture libraries' warnings",
    )
    parser.add_argument(
        "--ray",
        metavar="ADDRESS",
        nargs="?",
        const=RAY_LOCAL,
        default=given(None),
        help=f"run {RAY_WORK.get(parser.prog.split()[-1], 'the pool work')} on a Ray "
        "cluster: 'auto' for the running one, "
        "host:port for a given one, no ADDRESS for a local Ray instance "
        "(needs pip install 'search_index_lib[ray]'; the folders must be at "
        "the same paths on every node)",
    )
    parser.add_argument(
        "--workers",
        metavar="N",
        type=positive_int,
        default=given(None),
        help="worker processes that read pictures (default: one per processor "
        "available; fewer when the largest pictures would not fit in memory; "
        "with --ray: workers on the cluster, default one per CPU there)",
    )


def add_search_options(parser: argparse.ArgumentParser, limit_default: object) -> None:
    parser.add_argument(
        "--limit",
        metavar="N",
        type=positive_int,
        help=f"how many results at most (default: {limit_default}; never more than the folder has pictures)",
    )
    parser.add_argument(
        "--report",
        metavar="FILE.html",
        help="also write a self-contained HTML page showing the results as pictures "
        "(never over the query or a file of FOLDER, and over another existing "
        "file only if it is a find-images report, or with --force)",
    )
    parser.add_argument(
        "--force",
        action="store_true",
        help="let --report replace an existing file that is not a find-images report",
    )
    parser.add_argument(
        "--paths", action="store_true", help="print only the paths of the results (absolute), one per line"
    )
    parser.add_argument(
        "-0",
        "--print0",
        action="store_true",
        help="print only the paths of the results, each ended by a NUL character (for xargs -0)",
    )


def add_query_arguments(command: argparse.ArgumentParser, query: str, query_help: str, run: Runner) -> None:
    """The arguments of a subcommand that searches FOLDER with the picture `query` names."""
    command.add_argument("query", metavar=query, help=query_help)
    command.add_argument("folder", metavar="FOLDER", help="the folder tree to search")
    command.set_defaults(run=run, needs_query=True)


def add_similar_command(commands: Commands) -> argparse.ArgumentParser:
    command = commands.add_parser("similar", help="pictures that look most like QUERY, nearest first")
    add_query_arguments(command, "QUERY", "the picture to look for", run_similar)
    add_search_options(command, "SEARCH_RESULT_LIMIT of the settings, 10 with the default ones")
    return command


def add_crop_command(commands: Commands) -> argparse.ArgumentParser:
    command = commands.add_parser("crop", help="pictures that contain the region CROP, best first")
    add_query_arguments(command, "CROP", "a picture of the region to look for", run_crop)
    how = command.add_mutually_exclusive_group()
    how.add_argument(
        "--plain",
        action="store_true",
        help="the module's ranking (most cross-checked keypoint matches) instead of "
        "the verified search, which keeps only pictures that really contain the "
        "crop and draws its outline in the report",
    )
    # The verified search was once asked for with --verify; it is the default now.
    how.add_argument("--verify", action="store_true", help=argparse.SUPPRESS)
    add_search_options(command, searches.CROP_RESULT_LIMIT)
    return command


def add_index_command(commands: Commands) -> argparse.ArgumentParser:
    command = commands.add_parser("index", help="build or refresh the cached index of FOLDER")
    command.add_argument("folder", metavar="FOLDER", help="the folder tree to index")
    command.set_defaults(run=run_index)
    return command


def add_duplicates_command(commands: Commands) -> argparse.ArgumentParser:
    from .duplicates.command import add_duplicates_command as build

    return build(commands)


def add_undo_command(commands: Commands) -> argparse.ArgumentParser:
    from .duplicates.command import add_undo_command as build

    return build(commands)


COMMAND_BUILDERS = (
    add_similar_command,
    add_crop_command,
    add_index_command,
    add_duplicates_command,
    add_undo_command,
)


def build_parser() -> Parser:
    parser = Parser(
        prog=PROGRAM,
        description="Find pictures in a folder tree.",
        epilog="Exit status: 0 found, 1 nothing found, 2 bad input, 130 interrupted.",
    )
    parser.add_argument("--version", action=VersionAction)
    add_global_options(parser)
    # What the shared steps read of every subcommand, for the subcommands that lack the switch
    # or the argument (a subcommand's own defaults take their place): a search's runner goes
    # in `run`; a subcommand that checks, runs and shows on its own goes in `runs_whole`.
    parser.set_defaults(**dict.fromkeys(("run", "runs_whole", "query", "report")))
    parser.set_defaults(**dict.fromkeys(("needs_query", "force", "paths", "print0"), False))
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for build in COMMAND_BUILDERS:
        add_global_options(build(commands), default=argparse.SUPPRESS)
    return parser


class VersionAction(argparse.Action):
    """--version. The installed version is looked up only when it is asked for: the lookup
    imports the package metadata machinery, a cost every run of the command would pay."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS) -> None:
        super().__init__(
            option_strings,
            dest,
            nargs=0,
            default=argparse.SUPPRESS,
            help="show program's version number and exit",
        )

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> NoReturn:
        sys.stdout.write(f"{PROGRAM} {package_version()}\n")
        parser.exit()


def package_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("search_index_lib")
    except PackageNotFoundError:
        return "(version unknown: not installed)"


# ------------------------------------------------------------------------- input checks


def check_inputs(args: argparse.Namespace) -> Path:
    """Refuses, before any work starts, inputs that cannot work."""
    settings = Path(args.settings) if args.settings else DEFAULT_SETTINGS
    if not settings.is_dir():
        raise InputError(f"--settings: folder not found: {settings}")
    if not (settings / "constants.py").is_file():
        raise InputError(f"--settings: no constants.py in {settings}")
    if args.needs_query:
        name = "crop" if args.command == "crop" else "query"
        check_readable_file(args.query, name)
    check_folder(args.folder)
    if args.report:
        check_report_target(args)
    if args.json and (args.paths or args.print0):
        raise InputError("--json cannot be combined with --paths or --print0")
    return settings


def check_readable_file(path: str, name: str) -> None:
    if not os.path.exists(path):
        raise InputError(f"{name} image not found: {path}")
    if not os.path.isfile(path):
        raise InputError(f"{name} image is not a file: {path}")
    if not os.access(path, os.R_OK):
        raise InputError(f"{name} image cannot be read (permission denied): {path}")


def refuse_first(problems: Iterable[tuple[bool, str]]) -> None:
    """Raises InputError with the message of the first (found, message) pair found."""
    for found, message in problems:
        if found:
            raise InputError(message)


def check_folder(folder: str) -> None:
    refuse_first(
        [
            (not os.path.exists(folder), f"folder not found: {folder}"),
            (not os.path.isdir(folder), f"not a folder: {folder}"),
            (
                not os.access(folder, os.R_OK | os.X_OK),
                f"folder cannot be read (permission denied): {folder}",
            ),
        ]
    )


def check_report_target(args: argparse.Namespace) -> None:
    report = args.report
    parent = os.path.dirname(os.path.abspath(report))
    refuse_first(
        [
            (os.path.isdir(report), f"--report: is a folder: {report}"),
            (not os.path.isdir(parent), f"--report: folder not found: {parent}"),
            (not os.access(parent, os.W_OK | os.X_OK), f"--report: folder is not writable: {parent}"),
        ]
    )
    problem = report_refusal(report, args.query, searched_folders(args), args.force)
    if problem:
        raise InputError(problem)


def searched_folders(args: argparse.Namespace) -> list[str]:
    """The folders a command reads: FOLDER, or the duplicate finder's folders and references."""
    return [*getattr(args, "folders", [args.folder]), *getattr(args, "reference", [])]


# ---------------------------------------------------------------------------- the module


def load_library(settings: Path) -> ModuleType:
    """Imports search_index_lib with the settings module `settings`/constants.py. The
    folder goes first on the import path, where pool workers started afresh find it too."""
    wanted = (settings / "constants.py").resolve()
    loaded = sys.modules.get("constants")
    if loaded is not None and Path(getattr(loaded, "__file__", "") or "").resolve() != wanted:
        raise InputError(f"--settings: another settings module is already loaded: {loaded.__file__}")
    sys.path.insert(0, str(settings.resolve()))
    try:
        import search_index_lib
    except OSError as error:  # the settings module could not make or read a file or folder
        raise InputError(
            f"{error.filename or wanted}: {error.strerror or one_line(error)} "
            f"(importing the settings {wanted})"
        ) from None
    except Exception as error:  # the settings module's own error, or a missing setting
        raise InputError(f"{settings_name(settings)}: {wanted} cannot be used: {one_line(error)}") from None
    return search_index_lib


def settings_name(settings: Path) -> str:
    return "--settings" if settings != DEFAULT_SETTINGS else "the default settings"


def ray_switch_alone(argv: Sequence[str]) -> list[str]:
    """`--ray` with its address left out takes the next word as the address, also a command
    name or a path; a word that is no Ray address ('auto', 'local', host:port) is left to
    the rest of the line and the switch means a local Ray instance."""
    argv = list(argv)
    for position, word in enumerate(argv[:-1]):
        following = argv[position + 1]
        if word == "--ray" and following not in ("auto", RAY_LOCAL) and ":" not in following:
            argv[position] = f"--ray={RAY_LOCAL}"
    return argv


def bind_pool(
    sil: ModuleType,
    args: argparse.Namespace,
    reporter: ProgressReporter,
    settings: Path,
    setup: Callable[[], None] | None = None,
) -> Callable[[], object]:
    """The module opens its process pools through its `Pool`: this one reports progress, or
    with --ray runs the work on a Ray cluster. Returns what ends the binding."""
    if args.ray is None:
        binding = workers.bind_command_pool(sil, reporter, args.workers, setup=setup)

        def unbind() -> None:
            for text in binding.notes:
                note(args, text)

        return unbind
    if args.command == "crop" and not args.plain:
        raise InputError(
            "--ray: the verified crop search runs a pool of its own on this machine "
            "and cannot use a Ray cluster; add --plain for the module's ranking there"
        )
    restore_output = cluster_notices_to_stderr()
    try:
        from .ray_pool import bind_ray_pool

        address = None if args.ray == RAY_LOCAL else args.ray
        ray_binding = bind_ray_pool(
            processes=args.workers, address=address, settings=settings / "constants.py", module=sil
        )
    except Exception as error:  # no ray package, no cluster at the address, a refused connection
        restore_output()
        raise InputError(f"--ray: {one_line(error)}") from None

    def ray_unbind() -> None:
        try:
            ray_binding.unbind()
        finally:
            restore_output()

    return ray_unbind


def cluster_notices_to_stderr() -> Callable[[], None]:
    """Ray's driver prints the cluster's notices (a worker that died, a node that went) on
    standard output, from a thread of its own and at any moment, where they would break the
    command's results (JSON, NUL-separated paths). While the cluster is bound, standard output
    is standard error; the results are written once it is unbound (and Ray shut down).
    Returns what puts standard output back."""
    results = sys.stdout
    sys.stdout = sys.stderr

    def restore() -> None:
        sys.stdout = results

    return restore


def one_line(error: BaseException) -> str:
    text = str(error) or type(error).__name__
    return " ".join(text.split())


def query_format_problem(args: argparse.Namespace) -> str | None:
    """Why the query's format cannot be read by the search asked for (one line), or None."""
    decoder = formats.decoder_of(args.query)
    if decoder is not None and decoder in formats.missing_decoders():
        return (
            f"cannot search with {args.query}: no decoder for {decoder.label} is installed "
            f"({decoder.install})"
        )
    if args.command == "crop" and args.plain and formats.opencv_unreadable([args.query]):
        return (
            f"crop image {args.query}: the crop search reads with OpenCV, which cannot decode "
            "this format; crop without --plain reads it"
        )
    return None


def describe_failure(error: BaseException, args: argparse.Namespace) -> str:
    """One line for an error raised while searching."""
    filename = getattr(error, "filename", None)
    if isinstance(error, OSError) and filename:
        return f"{filename}: {error.strerror or one_line(error)}"
    subject = f"search with {args.query}" if args.needs_query else f"index {args.folder}"
    decoder = formats.decoder_of(args.query) if args.needs_query else None
    if decoder is not None and decoder in formats.missing_decoders():
        return f"cannot {subject}: no decoder for {decoder.label} is installed ({decoder.install})"
    return f"cannot {subject}: {one_line(error)}"


# ------------------------------------------------------------------------------ runners


def run_similar(sil: ModuleType, args: argparse.Namespace, reporter: ProgressReporter) -> Result:
    return searches.similar(
        sil, os.path.abspath(args.query), os.path.abspath(args.folder), reporter, args.limit
    )


def run_crop(sil: ModuleType, args: argparse.Namespace, reporter: ProgressReporter) -> Result:
    limit = args.limit if args.limit is not None else searches.CROP_RESULT_LIMIT
    if not args.plain:
        return searches.verified_crop(
            sil,
            os.path.abspath(args.query),
            os.path.abspath(args.folder),
            reporter,
            limit,
            args.workers or workers.available_processors(),
        )
    return searches.crop(sil, os.path.abspath(args.query), os.path.abspath(args.folder), reporter, limit)


def run_index(sil: ModuleType, args: argparse.Namespace, reporter: ProgressReporter) -> Result:
    return searches.index(sil, os.path.abspath(args.folder), reporter)


def show_outcome(outcome: Result, args: argparse.Namespace) -> int:
    """Prints the results; returns the exit status."""
    if isinstance(outcome, searches.IndexSummary):
        sys.stdout.write(output.index_json(outcome) if args.json else output.index_text(outcome))
        return FOUND if outcome.indexed else NOTHING_FOUND
    for line in output.unreadable_notes(outcome.unreadable, outcome.folder, args.verbose):
        note(args, line)
    if args.json:
        sys.stdout.write(output.results_json(outcome))
    elif args.print0 or (args.paths and not sys.stdout.isatty()):
        sys.stdout.flush()
        sys.stdout.buffer.write(output.results_paths(outcome, b"\0" if args.print0 else b"\n"))
    elif args.paths:  # on a terminal: a name's control characters are shown escaped
        sys.stdout.write("".join(f"{output.printable(os.path.abspath(hit.path))}\n" for hit in outcome.hits))
    elif outcome.hits:
        sys.stdout.write(output.results_text(outcome))
    if not outcome.hits:
        note(args, "nothing found")
    if args.report:
        from .report import write_report

        # Again now: the file may have appeared while the search ran.
        problem = report_refusal(args.report, args.query, searched_folders(args), args.force)
        if problem:
            raise InputError(problem)
        try:
            target = write_report(outcome, args.report)
        except OSError as error:
            reason = error.strerror or one_line(error)
            raise InputError(f"--report: cannot write {args.report}: {reason}") from None
        note(args, f"report written to {os.path.abspath(target)}")
    return FOUND if outcome.hits else NOTHING_FOUND


def note(args: argparse.Namespace, message: str) -> None:
    if not args.quiet:
        print(f"{PROGRAM}: {output.printable(message)}", file=sys.stderr)


def run(argv: Sequence[str]) -> int:
    args = build_parser().parse_args(ray_switch_alone(argv))
    captured = CapturedOutput().start()
    try:
        return run_parsed(args)
    finally:
        show_library_output(captured.finish(), args)


def show_library_output(lines: list[str], args: argparse.Namespace) -> None:
    """What the picture libraries wrote to standard error: one line, all of it with
    --verbose, nothing with --quiet."""
    if not lines or args.quiet:
        return
    if not args.verbose:
        note(args, library_summary(lines))
        return
    for line in lines:
        note(args, line)


def run_parsed(args: argparse.Namespace) -> int:
    if getattr(args, "runs_whole", None):  # a command that checks, runs and shows on its own
        status: int = args.runs_whole(args)
        return status
    settings = check_inputs(args)
    formats.register_decoders()  # before any worker starts, so forked workers have them too
    sil = load_library(settings)
    if not args.verbose:
        logging.getLogger().setLevel(logging.WARNING)
    setup, problem = place_caches(
        sil,
        args.cache_dir,
        args.command in ("similar", "index"),
        "--cache-dir" if args.cache_dir is not None else settings_name(settings),
    )
    if problem:
        raise InputError(problem)
    if args.needs_query:
        problem = query_format_problem(args)
        if problem:
            raise InputError(problem)
    if args.command == "crop":
        # Before any folder work, and before a Ray connection, whose threads a process forked
        # later (the check runs in one) does not have.
        problem = crop_problem(os.path.abspath(args.query), not args.plain)
        if problem:
            raise InputError(problem)
    reporter = ProgressReporter(enabled=not args.quiet and sys.stderr.isatty(), stream=sys.stderr)
    unbind = bind_pool(sil, args, reporter, settings, setup)
    try:
        outcome = args.run(sil, args, reporter)
    except (OSError, ValueError, RuntimeError, sil.UnidentifiedImageError) as error:
        said = describe_failure(error, args) + failure_note(reporter, on_ray=args.ray is not None)
        raise InputError(said) from None
    except KeyboardInterrupt:
        raise Interrupted(interruption_note(reporter, on_ray=args.ray is not None)) from None
    finally:
        reporter.close()
        unbind()
    left_out = formats.left_out_note(
        lambda: (
            record.image_path
            for record in sil.get_images_absolute_path_recursive_a_directory(os.path.abspath(args.folder))
        ),
        plain_crop=args.command == "crop" and args.plain,
    )
    if left_out:
        note(args, left_out)
    return show_outcome(outcome, args)


def main(argv: Sequence[str] | None = None) -> int:
    try:
        return run(sys.argv[1:] if argv is None else argv)
    except InputError as error:
        print(f"{PROGRAM}: {output.printable(str(error))}", file=sys.stderr)
        return BAD_INPUT
    except Interrupted as interruption:
        print(f"{PROGRAM}: {interruption}", file=sys.stderr)
        return INTERRUPTED
    except KeyboardInterrupt:
        # The pools have ended their workers on the way out; leave without a traceback.
        print(f"{PROGRAM}: interrupted", file=sys.stderr)
        return INTERRUPTED
    except BrokenPipeError:
        # The reader went away (as `| head` does): not an error of the search.
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return FOUND
