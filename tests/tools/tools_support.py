"""Helpers for the tools' tests: the installed command and the processes of a session."""

import os
import subprocess
import sys
from pathlib import Path

from testsupport import child_env

FIND_IMAGES = Path(sys.executable).parent / "find-images"


def run_find_images(*args, settings=None, env=None, timeout=300, as_module=False, **options):
    """Runs the installed command (or `python -m search_index_tools`); returns the completed
    process (text output)."""
    assert FIND_IMAGES.is_file(), f"the find-images command is not installed at {FIND_IMAGES}"
    program = [sys.executable, "-m", "search_index_tools"] if as_module else [str(FIND_IMAGES)]
    command = [*program, *(["--settings", str(settings)] if settings else []), *map(str, args)]
    options.setdefault("text", True)
    return subprocess.run(
        command, env=env or child_env(tests_path=False), capture_output=True, timeout=timeout, **options
    )


def processes_in_session(session_id):
    """Pids of the live processes (zombies included) whose session is `session_id`."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2 :].split()
        if int(fields[3]) == session_id:  # fields after the name: state ppid pgrp session
            found.append(int(entry))
    return found


class Counts:
    """A progress reporter that records what a pool reported, in order."""

    def __init__(self):
        self.events = []

    def start(self, total):
        self.events.append(("start", total))

    def item(self):
        self.events.append("item")
