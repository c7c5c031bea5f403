"""Pictures and sub-folders of a searched tree that cannot be read.

The module's searches treat them differently: the similarity search fails on the first
picture it cannot open, the cropped search leaves such pictures out without a word, and the
folder walk skips a sub-folder it cannot list without a word. The command leaves both out of
every search and says how many (and which, with --verbose).

The similarity search keeps its speed: the pictures are checked only when a build fails on
one, and the folders cheaply (a folder whose link count says it has no sub-folders is not
listed, only checked). The pictures left out of the last build are remembered beside the
index (MEMO_SUFFIX), so that the next search leaves them out from the start, while they still
cannot be read, instead of failing on them again.
"""

import contextlib
import json
import os
import tempfile
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from types import ModuleType
from typing import Any


@dataclass
class Unreadable:
    """What a search left out because it could not be read: (path, reason) pairs."""

    pictures: list[tuple[str, str]] = field(default_factory=list)
    folders: list[tuple[str, str]] = field(default_factory=list)

    def __bool__(self) -> bool:
        return bool(self.pictures or self.folders)


def _can_list(path: str) -> bool:
    # Listing needs read permission; reading the files' status, which the walk does for
    # every file, needs search (x) permission.
    return os.access(path, os.R_OK | os.X_OK, effective_ids=os.access in os.supports_effective_ids)


def unreadable_folders(top: str) -> list[tuple[str, str]]:
    """The sub-folders of `top` that cannot be listed, sorted; links to folders are not
    followed, as the module's walk does not follow them."""
    found: list[tuple[str, str]] = []
    pending = [top]
    while pending:
        current = pending.pop()
        try:
            with os.scandir(current) as entries:
                subfolders = [entry.path for entry in entries if entry.is_dir(follow_symlinks=False)]
        except OSError as error:
            found.append((current, error.strerror or "cannot be listed"))
            continue
        for path in subfolders:
            try:
                links = os.lstat(path).st_nlink
            except OSError as error:
                found.append((path, error.strerror or "cannot be read"))
                continue
            if not _can_list(path):
                found.append((path, "Permission denied"))
            elif links != 2:
                # Only file systems that count sub-folders in the link count give 2 to a folder
                # without any (others give 1): such a folder need not be listed.
                pending.append(path)
    return sorted(found)


def unreadable_pictures(paths: Iterable[str]) -> list[tuple[str, str]]:
    """(path, reason) for each of `paths` that cannot be opened for reading."""
    effective = os.access in os.supports_effective_ids
    return [
        (path, "Permission denied") for path in paths if not os.access(path, os.R_OK, effective_ids=effective)
    ]


# The module's folder walk, which every listing, build and fingerprint goes through.
_WALK = "absolute_path_recursive_a_directory"


@contextlib.contextmanager
def walk_leaving_out(sil: ModuleType, paths: Iterable[str]) -> Iterator[None]:
    """Binds a folder walk in the module that leaves out `paths` (absolute paths as the walk
    gives them), for every search made inside the block: index builds, the fingerprint and
    the listings then never see them."""
    left_out = frozenset(paths)
    own_walk = getattr(sil, _WALK)

    def walk(folder: str) -> Iterator[Any]:
        for record in own_walk(folder):
            if record.image_path not in left_out:
                yield record

    setattr(sil, _WALK, walk)
    try:
        yield
    finally:
        setattr(sil, _WALK, own_walk)


# Beside the module's index file: the folder last indexed through the command and the pictures
# left out of it because they could not be read.
MEMO_SUFFIX = ".unreadable.json"


def _memo_path(sil: ModuleType) -> str:
    return os.fspath(str(sil.CACHED_INDEXED)) + MEMO_SUFFIX


def remembered_unreadable(sil: ModuleType, folder: str) -> dict[str, str]:
    """{path: reason} of the pictures of `folder` left out of the last build that still
    cannot be read; empty when the memo is missing, damaged or about another folder."""
    try:
        with open(_memo_path(sil), encoding="utf-8", errors="surrogateescape") as stream:
            memo = json.load(stream)
        if memo["folder"] != folder:
            return {}
        entries = {str(path): str(reason) for path, reason in memo["pictures"]}
    except (OSError, ValueError, KeyError, TypeError):
        return {}
    still = {path for path, _ in unreadable_pictures(list(entries))}
    return {path: reason for path, reason in entries.items() if path in still}


def remember_unreadable(
    sil: ModuleType, folder: str, left_out: dict[str, str], known: dict[str, str]
) -> None:
    """Writes the memo when it would say something else than `known` (what was read)."""
    if left_out == known:
        return
    path = _memo_path(sil)
    text = json.dumps({"folder": folder, "pictures": sorted(left_out.items())})
    try:
        descriptor, part = tempfile.mkstemp(dir=os.path.dirname(os.path.abspath(path)), prefix=".unreadable.")
        try:
            with os.fdopen(descriptor, "w", encoding="utf-8", errors="surrogateescape") as stream:
                stream.write(text)
            os.replace(part, path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(part)
            raise
    except OSError:
        pass  # only a help for the next search, which can find the pictures again
