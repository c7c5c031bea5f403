"""Keeps what the picture libraries write to standard error off the terminal.

Decoders complain on their own: Pillow with Python warnings, libpng (inside OpenCV) with lines
that C code writes straight to file descriptor 2, in the command's process and in every pool
worker. Printed as they come they break the progress bar and fill a --quiet run. So for the
whole run descriptor 2 points at a temporary file, in the command's process and therefore in
every worker it starts, while the command's own lines, the bar and the module's log lines go
to a copy of the real standard error. At the end the captured text is summed up in one line,
shown whole with --verbose, or dropped with --quiet.
"""

import fcntl
import os
import sys
import tempfile
import warnings
from typing import Any, TextIO


def _one_line_warning(
    message: Warning | str,
    category: type[Warning],
    filename: str,
    lineno: int,
    file: TextIO | None = None,
    line: str | None = None,
) -> None:
    """warnings.showwarning for the run: one line, to descriptor 2 (the capture file), in
    the command's process and in workers forked from it."""
    text = f"{category.__name__}: {' '.join(str(message).split())}\n"
    try:
        os.write(2, text.encode("utf-8", "backslashreplace"))
    except OSError:
        pass


class _OwnProcessStream:
    """sys.stderr for the run: the real standard error in the command's own process; in a
    worker forked from it (which inherits this object), descriptor 2, the capture file."""

    def __init__(self, terminal: TextIO, pid: int):
        self._terminal, self._pid = terminal, pid

    def _own(self) -> bool:
        return os.getpid() == self._pid

    def write(self, text: str) -> int:
        if self._own():
            return self._terminal.write(text)
        try:
            os.write(2, text.encode("utf-8", "backslashreplace"))
        except OSError:
            pass
        return len(text)

    def flush(self) -> None:
        if self._own():
            self._terminal.flush()

    def fileno(self) -> int:
        return self._terminal.fileno() if self._own() else 2

    def isatty(self) -> bool:
        return self._terminal.isatty() if self._own() else False

    def __getattr__(self, name: str) -> Any:
        return getattr(self._terminal, name)


class CapturedOutput:
    """Descriptor 2 captured from `start()` to `finish()`; `finish` returns the captured lines."""

    def __init__(self) -> None:
        self._saved: int | None = None
        self._file = -1

    def start(self) -> "CapturedOutput":
        try:
            sys.stderr.flush()
            saved = os.dup(2)
        except (OSError, AttributeError, ValueError):
            return self  # no standard error to protect
        descriptor, name = tempfile.mkstemp(prefix="find-images-output-")
        os.unlink(name)
        # Appended to by every process that holds it, so no one writes over another's lines.
        fcntl.fcntl(descriptor, fcntl.F_SETFL, fcntl.fcntl(descriptor, fcntl.F_GETFL) | os.O_APPEND)
        os.dup2(descriptor, 2)
        self._saved, self._file = saved, descriptor
        self._stderr, self._showwarning = sys.stderr, warnings.showwarning
        terminal = open(
            saved,
            "w",
            encoding=getattr(sys.stderr, "encoding", None) or "utf-8",
            errors="backslashreplace",
            buffering=1,
            closefd=False,
        )
        sys.stderr = _OwnProcessStream(terminal, os.getpid())
        warnings.showwarning = _one_line_warning
        return self

    def finish(self) -> list[str]:
        """Puts standard error back; returns the captured text as lines."""
        if self._saved is None:
            return []
        sys.stderr.flush()
        os.dup2(self._saved, 2)
        os.close(self._saved)
        sys.stderr, warnings.showwarning = self._stderr, self._showwarning
        self._saved = None
        os.lseek(self._file, 0, os.SEEK_SET)
        with os.fdopen(self._file, "rb") as stream:
            text = stream.read().decode("utf-8", "backslashreplace")
        return [line for line in text.splitlines() if line.strip()]


def summary(lines: list[str]) -> str:
    """One line for the captured lines: how many messages (a Python warning printed by a
    worker that was not forked takes two lines, the second indented)."""
    messages = sum(1 for line in lines if not line[:1].isspace())
    return (
        f"{messages} warning{'' if messages == 1 else 's'} from the picture libraries "
        "hidden (--verbose shows them)"
    )
