"""Whether a file is still the one work was done on.

A file is identified as search_index_lib's feature store identifies it: by its device and
inode (which file it is) and its size and modification and status-change times in
nanoseconds (what it holds). The change time matters: a file rewritten in place and given
its old modification time back (as `cp -p` or `rsync -t` leave it) keeps its size and
modification time, but the kernel moves its change time on, and no program can set it back.

This module is imported by pool workers, so it imports nothing heavy.
"""

import os
import stat
from typing import NamedTuple, Optional


class FileIdentity(NamedTuple):
    device: int
    inode: int
    size: int
    mtime_ns: int
    ctime_ns: int

    @classmethod
    def of_status(cls, status: os.stat_result) -> "FileIdentity":
        return cls(status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns, status.st_ctime_ns)

    def same_file(self, other: Optional["FileIdentity"]) -> bool:
        """Whether `other` is the same file (it may have been written since)."""
        return other is not None and (self.device, self.inode) == (other.device, other.inode)

    def same_content(self, other: Optional["FileIdentity"]) -> bool:
        """Whether `other` is the same file, not written, replaced or touched since: work
        done on one holds for the other."""
        return other is not None and tuple(self) == tuple(other)


def file_identity(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> FileIdentity | None:
    """The identity of the regular file `path` names now (links followed); None when it is
    no path, does not exist or is not a regular file."""
    try:
        status = os.stat(path)
    except (OSError, ValueError, TypeError):
        return None
    return FileIdentity.of_status(status) if stat.S_ISREG(status.st_mode) else None


def read_regular_file(path: str) -> tuple[bytes, FileIdentity] | None:
    """The bytes of a regular file and its identity when it was opened, or None when the
    path is not a regular file or cannot be read."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None
        # O_NONBLOCK: should the path have been swapped for a FIFO since the test above,
        # opening it does not wait for a writer; fstat below then refuses it.
        flags = (
            os.O_RDONLY
            | getattr(os, "O_NONBLOCK", 0)
            | getattr(os, "O_NOCTTY", 0)
            | getattr(os, "O_CLOEXEC", 0)
        )
        descriptor = os.open(path, flags)
    except (OSError, ValueError):
        return None
    with open(descriptor, "rb", closefd=True) as file:
        try:
            status = os.fstat(descriptor)
            if not stat.S_ISREG(status.st_mode):
                return None
            data = file.read()
        except OSError:
            return None
    return data, FileIdentity.of_status(status)
