"""The command's argument parser, in this process: what every subcommand's namespace carries
for the steps all subcommands share, and --version."""

import pytest

from search_index_tools import cli
from search_index_tools.duplicates import command as duplicates_command

# argv (after the program name), then the runner the subcommand must name: a search's runner
# goes in `run`, a subcommand that checks, runs and shows on its own in `runs_whole`.
SUBCOMMANDS = [
    (["similar", "q.png", "folder"], "run", cli.run_similar),
    (["crop", "c.png", "folder"], "run", cli.run_crop),
    (["index", "folder"], "run", cli.run_index),
    (["duplicates", "folder"], "runs_whole", duplicates_command.run_duplicates),
    (["undo", "moves.log"], "runs_whole", duplicates_command.run_undo),
]
SHARED = {"needs_query", "query", "report", "force", "paths", "print0"}


@pytest.mark.parametrize("argv, runner_slot, runner", SUBCOMMANDS, ids=[case[0][0] for case in SUBCOMMANDS])
def test_every_subcommand_names_one_runner_and_carries_the_shared_settings(argv, runner_slot, runner):
    args = cli.build_parser().parse_args(argv)
    assert getattr(args, runner_slot) is runner
    other_slot = "runs_whole" if runner_slot == "run" else "run"
    assert getattr(args, other_slot) is None
    assert SHARED <= set(vars(args))
    assert args.needs_query == (argv[0] in ("similar", "crop"))
    if not args.needs_query:
        assert (args.query, args.report, args.force, args.paths, args.print0) == (
            None,
            None,
            False,
            False,
            False,
        )


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["similar", "q.png", "folder", "--paths", "--report", "r.html", "--force"], (True, "r.html", True)),
        (["crop", "c.png", "folder", "-0"], (False, None, False)),
        (["duplicates", "folder", "--report", "d.html"], (False, "d.html", False)),
    ],
    ids=["similar", "crop", "duplicates"],
)
def test_a_subcommands_own_switches_win_over_the_shared_defaults(argv, expected):
    args = cli.build_parser().parse_args(argv)
    assert (args.paths, args.report, args.force) == expected
    assert args.print0 == ("-0" in argv)
    if args.needs_query:
        assert args.query == argv[1] and args.folder == "folder"


def test_version_is_printed_on_standard_output(capsys):
    with pytest.raises(SystemExit) as ended:
        cli.build_parser().parse_args(["--version"])
    assert ended.value.code == 0
    printed = capsys.readouterr()
    assert printed.out == f"find-images {cli.package_version()}\n" and printed.err == ""
    assert printed.out.split()[1][0].isdigit()
