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
import stat
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


def apply(
    plan: Plan, scan: DuplicateScan, on_skip: OnSkip, on_log: Callable[[str], None] | None = None
) -> Summary:
    """Acts on every picture but the keepers and the references. `on_log` hears the move
    log's path as soon as it is opened, before any move: an interrupted run has named it."""
    if plan.kind == "move":
        if plan.target is None:
            raise ValueError("a move needs the folder to move to")
        return _move_all(plan.target, scan, on_skip, on_log)
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


def member_problem(group: DuplicateGroup, member: Member) -> str | None:
    """Why `member` of `group` may not be acted on now, or None."""
    return (
        _group_problem(group)
        or _link_problem(member.path)
        or unchanged(member.path, member.identity, member.stamp)
    )


def _link_problem(path: str) -> str | None:
    """A picture reached only through a symbolic link: moving, trashing or replacing the path
    would act on the link and leave the picture where it is."""
    try:
        if not stat.S_ISLNK(os.lstat(path).st_mode):
            return None
        return f"it is a symbolic link (to {os.readlink(path)}), not the picture itself"
    except OSError:
        return None  # gone or unreadable: the check of the file names that


def _each(scan: DuplicateScan, on_skip: OnSkip, act: Callable[[Member, Member], str | None]) -> Summary:
    done = skipped = 0
    for group, member in acted_on(scan):
        why = member_problem(group, member)
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
    except OSError as error:
        # A rename refused names both sides: say where it was going, the trash may be at fault.
        into = f" moving it to {os.fsdecode(error.filename2)}" if error.filename2 else ""
        return f"it could not be sent to the trash ({error.strerror or _one_line(error)}{into})"
    except Exception as error:  # send2trash raises its own errors besides OSError
        return f"it could not be sent to the trash ({_one_line(error)})"
    return None


def _one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def _hardlink(member: Member, keeper: Member) -> str | None:
    if member.identity.device != keeper.identity.device:
        return "it is on another file system than its keeper"
    temporary = temporary_beside(member.path, "link")
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


def _move_all(
    target: str, scan: DuplicateScan, on_skip: OnSkip, on_log: Callable[[str], None] | None
) -> Summary:
    roots = scan.folders + scan.references
    try:
        os.makedirs(target, exist_ok=True)
    except OSError as error:
        raise ActionError(f"--move-to: cannot make {target}: {error.strerror or _one_line(error)}") from None
    log_path, log = _open_log(target)
    if on_log is not None:
        on_log(log_path)
    done = skipped = 0
    with log:
        _write_line(log, {"kind": LOG_KIND, "version": LOG_VERSION, "started": time.time(), "target": target})
        for group, member in acted_on(scan):
            destination = os.path.join(target, _relative(member.path, roots))
            why = member_problem(group, member)
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
    try:
        os.unlink(source)
    except OSError:
        # The old name cannot go (its folder is read-only, say): the picture stays where it
        # was, and the new name (a link to it, or the copy just made) goes again, so the
        # move is not made at all rather than made twice.
        with contextlib.suppress(OSError):
            os.unlink(destination)
        raise


def _copy_across(source: str, destination: str) -> None:
    temporary = temporary_beside(destination, "copy")
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


# Bytes of a file's name kept in the name of a temporary file beside it: enough to tell
# whose it is, few enough that a name of the longest length allowed still leaves room.
TEMPORARY_NAME_BYTES = 64


def temporary_beside(path: str, kind: str) -> str:
    """A fresh name in the folder of `path` for a temporary `kind` of it, hidden, and short
    enough whatever the length of the file's own name."""
    folder, name = os.path.split(path)
    start = os.fsdecode(os.fsencode(name)[:TEMPORARY_NAME_BYTES])
    return os.path.join(folder, f".{start}.{uuid.uuid4().hex}.find-images-{kind}")


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


class LoggedMove(NamedTuple):
    """A move a log names: from `source` to `destination`, of a file of `size` bytes whose
    bytes had the digest `stamp`. `failed`: the log says the move was not made."""

    source: str
    destination: str
    size: int
    stamp: bytes
    failed: bool = False


def undo(
    log_path: str,
    on_refuse: Callable[[str, str], None],
    on_put_back: Callable[[str], None] | None = None,
) -> Summary:
    """Puts every picture the log moved back where it was, newest move first. A picture is
    not put back (and is named) where something now stands in its place, or when the moved
    file is gone or changed. A move the log says failed was never made: nothing is put back
    for it. `on_put_back` hears the original path of each picture put back."""
    moves = read_log(log_path)
    done = skipped = 0
    for move in reversed(moves):
        if move.failed:
            _clear_failed(move)
            continue
        why = _put_back(move.source, move.destination, move.size, move.stamp)
        if why is None:
            done += 1
            if on_put_back is not None:
                on_put_back(move.source)
        elif why != "":
            skipped += 1
            on_refuse(move.source, why)
    return Summary(done, skipped)


def read_log(log_path: str) -> list[LoggedMove]:
    """The moves of a log, in the order they were made. ActionError, naming the log and the
    line, for anything that is not a move log as duplicates --move-to writes it: a file
    written otherwise, or a log edited by hand into entries that would move files elsewhere
    than under its target folder. A last line cut short (the run was killed while writing
    it) is left out: its move was not made."""
    try:
        with open(log_path, encoding="utf-8", errors="surrogateescape") as log:
            lines = log.read().splitlines()
    except OSError as error:
        raise ActionError(f"{log_path}: {error.strerror}") from None
    header = _json_object(lines[0]) if lines else None
    target = header.get("target") if header is not None else None
    if (
        header is None
        or header.get("kind") != LOG_KIND
        or not isinstance(target, str)
        or not os.path.isabs(target)
    ):
        raise ActionError(f"{log_path}: not a move log of find-images duplicates")
    moves: list[LoggedMove] = []
    for number, line in enumerate(lines[1:], 2):
        entry = _json_object(line)
        if entry is None and number == len(lines):
            break
        move = (
            _logged_move(entry, os.path.normpath(target)) if entry is not None and "move" in entry else None
        )
        if entry is None or ("move" in entry and move is None):
            raise ActionError(f"{log_path}: line {number} is not a log entry")
        if move is not None:
            moves.append(move)
        elif moves and entry.get("moved") == moves[-1].source and entry.get("ok") is False:
            moves[-1] = moves[-1]._replace(failed=True)
    return moves


def _json_object(line: str) -> dict[str, Any] | None:
    try:
        entry = json.loads(line)
    except ValueError:
        return None
    return entry if isinstance(entry, dict) else None


def _logged_move(entry: dict[str, Any], target: str) -> LoggedMove | None:
    """The move an entry names, or None when it is not whole or moves a file elsewhere than
    from an absolute path to a place under the log's target folder."""
    source, destination, size, stamp = (entry.get(key) for key in ("move", "to", "size", "stamp"))
    if not (isinstance(source, str) and isinstance(destination, str) and isinstance(stamp, str)):
        return None
    if not isinstance(size, int) or isinstance(size, bool) or size < 0:
        return None
    if not os.path.isabs(source) or destination != os.path.normpath(destination):
        return None
    if not is_under(destination, target):
        return None
    try:
        digest = bytes.fromhex(stamp)
    except ValueError:
        return None
    return LoggedMove(source, destination, size, digest)


def _clear_failed(move: LoggedMove) -> None:
    """A move that failed after its new name was made may have left that name on the very
    file still in its place (logs of earlier versions): the stray name goes."""
    with contextlib.suppress(OSError):
        if os.path.lexists(move.source) and os.path.samefile(move.source, move.destination):
            if not os.path.islink(move.destination):
                os.unlink(move.destination)


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
