"""An index build through the command that ends early keeps the vectors its pool finished:
Ctrl-C or a killed worker part-way, then the next build reads only what was missing."""

import os
import re
import signal
import sqlite3
import subprocess
import sys
import textwrap
import time

import pytest
from testsupport import child_env, save_photo
from tools_support import processes_in_session

PICTURES = 60

# The command, with an audit hook that notes (and slows down) every picture a pool worker
# opens; forked workers inherit it. The main process's own reads (picture headers for the
# memory rule) are not work items and are not noted.
COMMAND = """
import os, sys, time
log_path, folder, delay = sys.argv[1], sys.argv[2], float(sys.argv[3])
main_pid = os.getpid()
log = open(log_path, "a", buffering=1)
def note_opening(event, args):
    if (event == "open" and os.getpid() != main_pid and isinstance(args[0], str)
            and args[0].startswith(folder)):
        log.write(f"{os.getpid()} {args[0]}\\n")
        time.sleep(delay)
sys.addaudithook(note_opening)
from search_index_tools.cli import main
sys.exit(main(sys.argv[4:]))
"""


@pytest.fixture
def library(tmp_path):
    folder = tmp_path / "library"
    for number in range(PICTURES):
        save_photo(folder / f"photo_{number:02}.jpg", 160, 120, seed=number)
    return folder


def start_command(log, folder, settings, delay, *args):
    program = [sys.executable, "-P", "-c", textwrap.dedent(COMMAND), str(log), str(folder), str(delay)]
    return subprocess.Popen(
        [*program, "--settings", str(settings), *map(str, args)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=child_env(tests_path=False),
        start_new_session=True,
    )


def opened(log):
    """(worker pid, picture) for each picture the workers opened, in order."""
    if not log.exists():
        return []
    return [tuple(line.split(" ", 1)) for line in log.read_text().splitlines()]


def stored_pictures(settings_folder, folder):
    """The pictures of `folder` whose vectors the command's feature store holds."""
    cache = settings_folder.parent / "cli_cache"
    with sqlite3.connect(cache / "index.faiss.features.sqlite") as store:
        paths = {os.fsdecode(row[0]) for row in store.execute("SELECT path FROM vectors")}
    return {path for path in paths if path.startswith(f"{folder}{os.sep}")}


def stop_part_way(command, log, stop):
    """Runs `stop(command, opened so far)` once the workers have opened half of the
    pictures; returns the command's (status, stderr) and checks no process is left."""
    deadline = time.monotonic() + 120
    while len(opened(log)) < PICTURES // 2 and command.poll() is None and time.monotonic() < deadline:
        time.sleep(0.02)
    assert command.poll() is None, "the build ended before it could be stopped"
    stop(command, opened(log))
    _, stderr = command.communicate(timeout=120)
    deadline = time.monotonic() + 10
    while processes_in_session(command.pid) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert processes_in_session(command.pid) == []
    return command.returncode, stderr


def ctrl_c(command, _opened):
    os.killpg(command.pid, signal.SIGINT)  # what Ctrl-C at a terminal does


def kill_a_worker(_command, opened_so_far):
    os.kill(int(opened_so_far[-1][0]), signal.SIGKILL)


@pytest.mark.slow
@pytest.mark.parametrize("subcommand", ["index", "similar"])
@pytest.mark.parametrize(
    "stop, status, said",
    [
        pytest.param(
            ctrl_c,
            130,
            r"find-images: interrupted: (\d+) of {n} pictures were read; "
            r"the feature store keeps them for the next run\n",
            id="ctrl-c",
        ),
        pytest.param(
            kill_a_worker,
            2,
            r"find-images: cannot .*: a worker process died \(killed by SIGKILL\) "
            r"[^;]*; the pool's other workers were ended; (\d+) of {n} pictures "
            r"were read; the feature store keeps them for the next run\n",
            id="killed-worker",
        ),
    ],
)
def test_the_next_build_reads_only_what_the_stopped_one_did_not_finish(
    subcommand, stop, status, said, library, settings, tmp_path
):
    query = ["index"]
    if subcommand == "similar":  # a query of its own, outside the library
        query = ["similar", save_photo(tmp_path / "query.jpg", 160, 120, seed=0)]
    first_log, second_log = tmp_path / "first.log", tmp_path / "second.log"
    command = start_command(first_log, library, settings, 0.05, *query, library)
    returncode, stderr = stop_part_way(command, first_log, stop)
    assert returncode == status, stderr
    message = re.fullmatch(said.format(n=PICTURES), stderr)
    assert message, stderr
    kept = stored_pictures(settings, library)
    assert 0 < len(kept) < PICTURES
    assert int(message.group(1)) == len(kept)  # the count said is the count kept

    command = start_command(second_log, library, settings, 0, *query, library)
    stdout, stderr = command.communicate(timeout=120)
    assert command.returncode == 0, stderr
    read_again = [picture for _, picture in opened(second_log)]
    everything = {str(path) for path in library.iterdir()}
    assert len(read_again) == len(set(read_again))
    assert set(read_again) == everything - kept
    assert stored_pictures(settings, library) == everything
    if subcommand == "index":
        assert f"{PICTURES} pictures indexed" in stdout + stderr
