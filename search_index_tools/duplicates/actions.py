"""Acting on the groups: move, trash or hard-link every picture but the keeper, and undo moves.

Rules every action keeps:
- the keeper and every picture under a reference folder are never touched;
- before a group is touched its keeper must still be the file that was scanned (else the
  group is skipped: a copy may be the only one left), and before a picture is touched it must
  be too: same identity (device, inode, size, modification and status-change times) and the
  same bytes (their stamp). A changed, missing or unreadable picture is skipped and named;
- nothing is overwritten, and nothing is deleted for good;
- a move is written to the log (and the log flushed to disk) before it is made, and Ctrl-C
  waits until the move under way is whole, so an interrupted run leaves each picture either
  where it was or moved and logged.
"""

from __future__ import annotations

import contextlib
import errno
import json
import os
import shutil
import signal
import threading
import time
import uuid
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any, NamedTuple, TextIO

from ..file_identity import FileIdentity, read_regular_file
from .keeper import is_under
from .reading import content_stamp

if TYPE_CHECKING:
    from .finder import DuplicateGroup, DuplicateScan, Member

OnSkip = Callable[[str, str], None]

LOG_KIND = "find-images move log"
LOG_VERSION = 1
PAST = {"move": "moved", "trash": "sent to the trash", "hardlink": "replaced by hard links"}


class ActionError(Exception):
    """An action that cannot start (or a log that cannot be read): one line naming why."""


class Plan(NamedTuple):
    kind: str  # "move", "trash" or "hardlink"
    target: str | None = None  # the folder moves go under


class Summary(NamedTuple):
    done: int
    skipped: int
    log: str | None = None


def acted_on(scan: DuplicateScan) -> list[tuple[DuplicateGroup, Member]]:
    """(group, member) for every picture an action would touch, in group order."""
    return [(group, member) for group in scan.groups for member in group.members[1:] if not member.reference]


def apply(plan: Plan, scan: DuplicateScan, on_skip: OnSkip) -> Summary:
    if plan.kind == "move":
        if plan.target is None:
            raise ValueError("a move needs the folder to move to")
        return _move_all(plan.target, scan, on_skip)
    if plan.kind == "trash":
        return _each(scan, on_skip, _trash)
    if plan.kind == "hardlink":
        return _each(scan, on_skip, _hardlink)
    raise ValueError(f"no such action {plan.kind!r}")


def unchanged(path: str, identity: FileIdentity, stamp: bytes, *, check_ctime: bool = True) -> str | None:
    """None when `path` is still the file scanned; else why not, in a few words."""
    try:
        status = os.stat(path)
    except FileNotFoundError:
        return "it is gone"
    except OSError as error:
        return f"it cannot be read ({error.strerror})"
    now = FileIdentity.of_status(status)
    if not check_ctime:
        now, identity = now._replace(ctime_ns=0), identity._replace(ctime_ns=0)
    if now != identity:
        return "it changed since it was scanned"
    read = read_regular_file(path)
    if read is None:
        return "it cannot be read"
    if content_stamp(read[0]) != stamp:
        return "its content changed since it was scanned"
    return None


def _each(scan: DuplicateScan, on_skip: OnSkip, act: Callable[[Member, Member], str | None]) -> Summary:
    done = skipped = 0
    for group, member in acted_on(scan):
        why = _group_problem(group) or unchanged(member.path, member.identity, member.stamp)
        if why is None:
            with _whole():
                why = act(member, group.keeper)
        if why is None:
            done += 1
        else:
            skipped += 1
            on_skip(member.path, why)
    return Summary(done, skipped)


def _group_problem(group: DuplicateGroup) -> str | None:
    # A keeper's status-change time moves when a hard link to it is made (by --hardlink on
    # the group's other copies); its bytes are checked all the same.
    why = unchanged(group.keep, group.keeper.identity, group.keeper.stamp, check_ctime=False)
    return None if why is None else f"its keeper {group.keep}: {why}"


def _trash(member: Member, keeper: Member) -> str | None:
    try:
        from send2trash import send2trash
    except ImportError:  # installed with the package; say so plainly if it went missing
        return "the send2trash package is not installed"
    try:
        send2trash(member.path)
    except Exception as error:  # send2trash raises its own errors besides OSError
        return f"it could not be sent to the trash: {error}"
    return None


def _hardlink(member: Member, keeper: Member) -> str | None:
    if member.identity.device != keeper.identity.device:
        return "it is on another file system than its keeper"
    folder, name = os.path.split(member.path)
    temporary = os.path.join(folder, f".{name}.{uuid.uuid4().hex}.find-images-link")
    try:
        os.link(keeper.path, temporary)
    except OSError as error:
        return f"no hard link could be made beside it ({error.strerror})"
    try:
        os.replace(temporary, member.path)  # atomic: the path names one file or the other
    except OSError as error:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        return f"it could not be replaced ({error.strerror})"
    return None


# --------------------------------------------------------------------------------- moves


def _move_all(target: str, scan: DuplicateScan, on_skip: OnSkip) -> Summary:
    roots = scan.folders + scan.references
    os.makedirs(target, exist_ok=True)
    log_path, log = _open_log(target)
    done = skipped = 0
    with log:
        _write_line(log, {"kind": LOG_KIND, "version": LOG_VERSION, "started": time.time(), "target": target})
        for group, member in acted_on(scan):
            destination = os.path.join(target, _relative(member.path, roots))
            why = _group_problem(group) or unchanged(member.path, member.identity, member.stamp)
            if why is None and os.path.lexists(destination):
                why = f"{destination} already exists"
            if why is None:
                with _whole():
                    _write_line(
                        log,
                        {
                            "move": member.path,
                            "to": destination,
                            "size": member.identity.size,
                            "mtime_ns": member.identity.mtime_ns,
                            "stamp": member.stamp.hex(),
                        },
                    )
                    why = _move(member.path, destination)
                    _write_line(log, {"moved": member.path, "ok": why is None})
            if why is None:
                done += 1
            else:
                skipped += 1
                on_skip(member.path, why)
    return Summary(done, skipped, log_path)


def _relative(path: str, roots: list[str]) -> str:
    holders = [root for root in roots if is_under(path, root)]
    root = max(holders, key=len) if holders else os.path.dirname(path)
    return os.path.relpath(path, root)


def _open_log(target: str) -> tuple[str, TextIO]:
    stamp = time.strftime("%Y%m%d-%H%M%S", time.gmtime())
    for attempt in range(100):
        suffix = f"-{attempt}" if attempt else ""
        path = os.path.join(target, f"find-images-moves-{stamp}{suffix}.log")
        try:
            descriptor = os.open(
                path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o644
            )
        except FileExistsError:
            continue
        except OSError as error:
            raise ActionError(f"--move-to: cannot write a move log in {target}: {error.strerror}") from None
        return path, open(descriptor, "w", encoding="utf-8", errors="surrogateescape")
    raise ActionError(f"--move-to: cannot find a free name for the move log in {target}")


def _write_line(log: TextIO, entry: dict[str, Any]) -> None:
    """One JSON line, on disk before anything else happens. File names that are not UTF-8
    are kept as their bytes (surrogate escapes), so undo gets the very names back."""
    log.write(json.dumps(entry, ensure_ascii=False) + "\n")
    log.flush()
    os.fsync(log.fileno())


def _move(source: str, destination: str) -> str | None:
    """Moves a file without ever overwriting; None when it is moved, else why not."""
    try:
        os.makedirs(os.path.dirname(destination), exist_ok=True)
    except OSError as error:
        return f"{os.path.dirname(destination)} cannot be made ({error.strerror})"
    try:
        _place(source, destination)
    except FileExistsError:
        return f"{destination} already exists"
    except OSError as error:
        return f"it could not be moved ({error.strerror})"
    _sync_folder(os.path.dirname(destination))
    _sync_folder(os.path.dirname(source))
    return None


def _place(source: str, destination: str) -> None:
    """A hard link under the new name then the old name removed: the link fails rather than
    replace a file that is there. Across file systems the bytes are copied (and flushed)
    under a temporary name first. Where links are not supported, a rename after a check."""
    try:
        os.link(source, destination, follow_symlinks=False)
    except OSError as error:
        if error.errno == errno.EXDEV:
            _copy_across(source, destination)
        elif error.errno in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EMLINK, errno.ENOSYS):
            if os.path.lexists(destination):
                raise FileExistsError(errno.EEXIST, "File exists", destination) from None
            os.rename(source, destination)
            return
        else:
            raise
    os.unlink(source)


def _copy_across(source: str, destination: str) -> None:
    folder, name = os.path.split(destination)
    temporary = os.path.join(folder, f".{name}.{uuid.uuid4().hex}.find-images-copy")
    try:
        shutil.copy2(source, temporary)
        with open(temporary, "rb+") as copy:
            os.fsync(copy.fileno())
        try:
            os.link(temporary, destination)
        except OSError as error:
            if error.errno == errno.EEXIST:
                raise
            if os.path.lexists(destination):
                raise FileExistsError(errno.EEXIST, "File exists", destination) from None
            os.rename(temporary, destination)
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)


def _sync_folder(folder: str) -> None:
    with contextlib.suppress(OSError):
        descriptor = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)


@contextlib.contextmanager
def _whole() -> Iterator[None]:
    """Ctrl-C (and SIGTERM) during the block is held back until the block is done, then
    raised as KeyboardInterrupt: a move is never left half made."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught: list[int] = []
    handlers: dict[int, Any] = {}

    def hold(number: int, frame: object) -> None:
        caught.append(number)

    for number in (signal.SIGINT, signal.SIGTERM):
        handlers[number] = signal.signal(number, hold)
    try:
        yield
    finally:
        for held, handler in handlers.items():
            signal.signal(held, handler)
    if caught:
        raise KeyboardInterrupt


# ---------------------------------------------------------------------------------- undo


def undo(log_path: str, on_refuse: Callable[[str, str], None]) -> Summary:
    """Puts every picture the log moved back where it was, newest move first. A picture is
    not put back (and is named) where something now stands in its place, or when the moved
    file is gone or changed."""
    moves = _read_log(log_path)
    done = skipped = 0
    for source, destination, size, stamp in reversed(moves):
        why = _put_back(source, destination, size, stamp)
        if why is None:
            done += 1
        elif why != "":
            skipped += 1
            on_refuse(source, why)
    return Summary(done, skipped)


def _read_log(log_path: str) -> list[tuple[str, str, int, bytes]]:
    moves = []
    try:
        with open(log_path, encoding="utf-8", errors="surrogateescape") as log:
            lines = log.read().splitlines()
    except OSError as error:
        raise ActionError(f"{log_path}: {error.strerror}") from None
    try:
        header = json.loads(lines[0]) if lines else {}
    except ValueError:
        header = {}
    if header.get("kind") != LOG_KIND:
        raise ActionError(f"{log_path}: not a move log of find-images duplicates")
    for number, line in enumerate(lines[1:], 2):
        try:
            entry = json.loads(line)
        except ValueError:
            if number == len(lines):
                break  # a last line cut short by a crash: its move was not made
            raise ActionError(f"{log_path}: line {number} is not a log entry") from None
        if "move" in entry:
            moves.append((entry["move"], entry["to"], entry["size"], bytes.fromhex(entry["stamp"])))
    return moves


def _put_back(source: str, destination: str, size: int, stamp: bytes) -> str | None:
    """None when put back; "" when there was nothing to do (never moved, or already back);
    else why it was not put back."""
    at_destination = os.path.lexists(destination)
    at_source = os.path.lexists(source)
    if not at_destination:
        return "" if at_source else f"the moved file {destination} is gone"
    if at_source:
        with contextlib.suppress(OSError):
            if os.path.samefile(source, destination):
                # Interrupted between the new name and the removal of the old one.
                os.unlink(destination)
                return None
        return f"something now stands in its place ({source})"
    read = read_regular_file(destination)
    if read is None or len(read[0]) != size or content_stamp(read[0]) != stamp:
        return f"the moved file {destination} changed since it was moved"
    with _whole():
        return _move(destination, source)
