"""Where the command may write its HTML report.

A report is written by replacing its file whole, so a mistyped `--report` could turn a
photograph into a web page. The command therefore never writes it over the query picture or
over a file of a searched folder (other than a report of its own), and writes it over any other
existing file only when that file is one of its own reports or the user says `--force`.
Reports are recognised by the marker `render` puts in their head.
"""

import os
import stat
from collections.abc import Iterable

REPORT_MARKER = '<meta name="generator" content="find-images report">'
# A report's head lies within its first bytes; the pictures come later.
_HEAD_BYTES = 4096
# Reports written before the marker existed: their title and their policy, both in the head.
_EARLIER_REPORT_SIGNS = (b"<title>find-images ", b"default-src 'none'; img-src data:")


def is_own_report(path: str) -> bool:
    """Whether `path` is a regular file holding a report this command wrote. Anything else
    (a folder, a pipe, a device) is not opened: reading a pipe could wait for ever."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return False
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        with os.fdopen(descriptor, "rb") as stream:
            head = stream.read(_HEAD_BYTES)
    except OSError:
        return False
    if not head.lstrip().startswith(b"<!DOCTYPE html>"):
        return False
    return REPORT_MARKER.encode() in head or all(sign in head for sign in _EARLIER_REPORT_SIGNS)


def _is_same_file(one: str, other: str) -> bool:
    try:
        return os.path.samefile(one, other)
    except OSError:
        return os.path.realpath(one) == os.path.realpath(other)


def _lies_under(path: str, folder: str) -> bool:
    real_path, real_folder = os.path.realpath(path), os.path.realpath(folder)
    return real_path != real_folder and os.path.commonpath([real_path, real_folder]) == real_folder


def refusal(
    target: str, query: str | None = None, folders: Iterable[str] = (), force: bool = False
) -> str | None:
    """Why the report may not be written to `target` (one line), or None when it may."""
    if query is not None and os.path.lexists(target) and _is_same_file(target, query):
        return f"--report: refusing to replace the query image: {target}"
    if not os.path.lexists(target) or is_own_report(target):
        return None
    for folder in folders:
        if _lies_under(target, folder):
            return f"--report: refusing to replace a file of the searched folder: {target}"
    if not force:
        return (
            f"--report: refusing to replace a file that is not a find-images report "
            f"(remove it, or add --force): {target}"
        )
    return None
