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
from pathlib import Path

from . import output, searches
from .progress import ProgressReporter, progress_pool

PROGRAM = "find-images"
FOUND, NOTHING_FOUND, BAD_INPUT, INTERRUPTED = 0, 1, 2, 130
RAY_LOCAL = "local"
DEFAULT_SETTINGS = Path(__file__).resolve().parent / "default_settings"


class InputError(Exception):
    """Bad input: reported as one line naming the argument or file, exit status 2."""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise InputError(f"{message} (see {self.prog} --help)")


# ----------------------------------------------------------------------------- arguments

def positive_int(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, got {text!r}")
    return value


def add_global_options(parser, default=None):
    """Switches every subcommand takes, before or after its name. On the subcommands the
    defaults are suppressed, so a value given before the name is not overwritten."""
    def given(value):
        return argparse.SUPPRESS if default is argparse.SUPPRESS else value

    parser.add_argument("--settings", metavar="DIR", default=given(None),
                        help="folder holding the settings module constants.py (default: settings "
                             "that keep the caches in $XDG_CACHE_HOME or ~/.cache)")
    parser.add_argument("--json", action="store_true", default=given(False),
                        help="print one JSON document and nothing else on standard output")
    parser.add_argument("-q", "--quiet", action="store_true", default=given(False),
                        help="no progress bar and no notes on standard error")
    parser.add_argument("-v", "--verbose", action="store_true", default=given(False),
                        help="also show the module's log lines (index cache use and builds)")
    parser.add_argument("--ray", metavar="ADDRESS", nargs="?", const=RAY_LOCAL, default=given(None),
                        help="run the pool work on a Ray cluster: 'auto' for the running one, "
                             "host:port for a given one, no ADDRESS for a local Ray instance "
                             "(needs pip install 'search_index_lib[ray]'; the folders must be at "
                             "the same paths on every node)")


def add_search_options(parser):
    parser.add_argument("--limit", metavar="N", type=positive_int,
                        help="how many results at most (similar: default SEARCH_RESULT_LIMIT of "
                             f"the settings; crop: default {searches.CROP_RESULT_LIMIT})")
    parser.add_argument("--report", metavar="FILE.html",
                        help="also write a self-contained HTML page showing the results as pictures")


def add_similar_command(commands):
    command = commands.add_parser("similar", help="pictures that look most like QUERY, nearest first")
    command.add_argument("query", metavar="QUERY", help="the picture to look for")
    command.add_argument("folder", metavar="FOLDER", help="the folder tree to search")
    add_search_options(command)
    command.set_defaults(run=run_similar, needs_query=True)
    return command


def add_crop_command(commands):
    command = commands.add_parser("crop", help="pictures that contain the region CROP, best first")
    command.add_argument("query", metavar="CROP", help="a picture of the region to look for")
    command.add_argument("folder", metavar="FOLDER", help="the folder tree to search")
    command.add_argument("--verify", action="store_true",
                         help="only pictures that really contain the crop, checked by geometry; "
                              "the report draws the crop's outline")
    add_search_options(command)
    command.set_defaults(run=run_crop, needs_query=True)
    return command


def add_index_command(commands):
    command = commands.add_parser("index", help="build or refresh the cached index of FOLDER")
    command.add_argument("folder", metavar="FOLDER", help="the folder tree to index")
    command.set_defaults(run=run_index, needs_query=False, report=None)
    return command


def add_duplicates_command(commands):
    from .duplicates.command import add_duplicates_command as build

    return build(commands)


def add_undo_command(commands):
    from .duplicates.command import add_undo_command as build

    return build(commands)


COMMAND_BUILDERS = (add_similar_command, add_crop_command, add_index_command, add_duplicates_command,
                    add_undo_command)


def build_parser():
    parser = Parser(prog=PROGRAM, description="Find pictures in a folder tree.",
                    epilog="Exit status: 0 found, 1 nothing found, 2 bad input, 130 interrupted.")
    add_global_options(parser)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for build in COMMAND_BUILDERS:
        add_global_options(build(commands), default=argparse.SUPPRESS)
    return parser


# ------------------------------------------------------------------------- input checks

def check_inputs(args):
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
        check_report_target(args.report)
    return settings


def check_readable_file(path, name):
    if not os.path.exists(path):
        raise InputError(f"{name} image not found: {path}")
    if not os.path.isfile(path):
        raise InputError(f"{name} image is not a file: {path}")
    if not os.access(path, os.R_OK):
        raise InputError(f"{name} image cannot be read (permission denied): {path}")


def check_folder(folder):
    if not os.path.exists(folder):
        raise InputError(f"folder not found: {folder}")
    if not os.path.isdir(folder):
        raise InputError(f"not a folder: {folder}")
    if not os.access(folder, os.R_OK | os.X_OK):
        raise InputError(f"folder cannot be read (permission denied): {folder}")


def check_report_target(report):
    parent = os.path.dirname(os.path.abspath(report))
    if os.path.isdir(report):
        raise InputError(f"--report: is a folder: {report}")
    if not os.path.isdir(parent):
        raise InputError(f"--report: folder not found: {parent}")
    if not os.access(parent, os.W_OK | os.X_OK):
        raise InputError(f"--report: folder is not writable: {parent}")


# ---------------------------------------------------------------------------- the module

def load_library(settings):
    """Imports search_index_lib with the settings module `settings`/constants.py. The
    folder goes first on the import path, where pool workers started afresh find it too."""
    wanted = (settings / "constants.py").resolve()
    loaded = sys.modules.get("constants")
    if loaded is not None and Path(getattr(loaded, "__file__", "") or "").resolve() != wanted:
        raise InputError(f"--settings: another settings module is already loaded: {loaded.__file__}")
    sys.path.insert(0, str(settings.resolve()))
    try:
        import search_index_lib
    except Exception as error:  # the settings module's own error, or a missing setting
        raise InputError(f"--settings: {wanted} cannot be used: {one_line(error)}") from None
    return search_index_lib


def ray_switch_alone(argv):
    """`--ray` with its address left out takes the next word as the address, also a command
    name or a path; a word that is no Ray address ('auto', 'local', host:port) is left to
    the rest of the line and the switch means a local Ray instance."""
    argv = list(argv)
    for position, word in enumerate(argv[:-1]):
        following = argv[position + 1]
        if word == "--ray" and following not in ("auto", RAY_LOCAL) and ":" not in following:
            argv[position] = f"--ray={RAY_LOCAL}"
    return argv


def bind_pool(sil, args, reporter, settings):
    """The module opens its process pools through its `Pool`: this one reports progress, or
    with --ray runs the work on a Ray cluster. Returns what ends the binding."""
    if args.ray is None:
        sil.Pool = progress_pool(reporter)
        return lambda: None
    if getattr(args, "verify", False):
        raise InputError("--ray: the verified search (--verify) runs a pool of its own on this "
                         "machine and cannot use a Ray cluster")
    try:
        from .ray_pool import bind_ray_pool

        binding = bind_ray_pool(address=None if args.ray == RAY_LOCAL else args.ray,
                                settings=settings / "constants.py", module=sil)
    except Exception as error:  # no ray package, no cluster at the address, a refused connection
        raise InputError(f"--ray: {one_line(error)}") from None
    return binding.unbind


def one_line(error):
    text = str(error) or type(error).__name__
    return " ".join(text.split())


def describe_failure(error, args):
    """One line for an error raised while searching."""
    filename = getattr(error, "filename", None)
    if isinstance(error, OSError) and filename:
        return f"{filename}: {error.strerror or one_line(error)}"
    subject = f"search with {args.query}" if args.needs_query else f"index {args.folder}"
    return f"cannot {subject}: {one_line(error)}"


# ------------------------------------------------------------------------------ runners

def run_similar(sil, args, reporter):
    if args.limit is not None:
        sil.SEARCH_RESULT_LIMIT = args.limit  # read by the search at the moment of use
    return searches.similar(sil, os.path.abspath(args.query), os.path.abspath(args.folder), reporter)


def run_crop(sil, args, reporter):
    limit = args.limit if args.limit is not None else searches.CROP_RESULT_LIMIT
    if args.verify:
        return searches.verified_crop(sil, os.path.abspath(args.query), os.path.abspath(args.folder),
                                      reporter, limit)
    return searches.crop(sil, os.path.abspath(args.query), os.path.abspath(args.folder), reporter, limit)


def run_index(sil, args, reporter):
    return searches.index(sil, os.path.abspath(args.folder), reporter)


def show_outcome(outcome, args):
    """Prints the results; returns the exit status."""
    if isinstance(outcome, searches.IndexSummary):
        sys.stdout.write(output.index_json(outcome) if args.json else output.index_text(outcome))
        return FOUND if outcome.indexed else NOTHING_FOUND
    if args.json:
        sys.stdout.write(output.results_json(outcome))
    elif outcome.hits:
        sys.stdout.write(output.results_text(outcome))
    if not outcome.hits:
        note(args, "nothing found")
    if args.report:
        from .report import write_report

        try:
            target = write_report(outcome, args.report)
        except OSError as error:
            raise InputError(f"--report: cannot write {args.report}: {error.strerror or one_line(error)}") from None
        note(args, f"report written to {os.path.abspath(target)}")
    return FOUND if outcome.hits else NOTHING_FOUND


def note(args, message):
    if not args.quiet:
        print(f"{PROGRAM}: {output.printable(message)}", file=sys.stderr)


def run(argv):
    args = build_parser().parse_args(ray_switch_alone(argv))
    if getattr(args, "runs_whole", None):  # a command that checks, runs and shows on its own
        return args.runs_whole(args)
    settings = check_inputs(args)
    sil = load_library(settings)
    if not args.verbose:
        logging.getLogger().setLevel(logging.WARNING)
    reporter = ProgressReporter(enabled=not args.quiet and sys.stderr.isatty(), stream=sys.stderr)
    unbind = bind_pool(sil, args, reporter, settings)
    try:
        outcome = args.run(sil, args, reporter)
    except (OSError, ValueError, RuntimeError, sil.UnidentifiedImageError) as error:
        raise InputError(describe_failure(error, args)) from None
    finally:
        reporter.close()
        unbind()
    return show_outcome(outcome, args)


def main(argv=None):
    try:
        return run(sys.argv[1:] if argv is None else argv)
    except InputError as error:
        print(f"{PROGRAM}: {output.printable(str(error))}", file=sys.stderr)
        return BAD_INPUT
    except KeyboardInterrupt:
        # The pools have ended their workers on the way out; leave without a traceback.
        return INTERRUPTED
    except BrokenPipeError:
        # The reader went away (as `| head` does): not an error of the search.
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return FOUND
