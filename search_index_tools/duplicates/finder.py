"""find_duplicates: every group of pictures that are the same picture, across folders.

The folders are listed with search_index_lib's walk (its FILE_EXTENSION_REGEX picks the
pictures). Each picture is read once, in the module's worker pool (`search_index_lib.Pool`,
so the command's progress pool and the Ray pool serve here as they do for an index build),
for a grey thumbnail, its size and a stamp of its bytes; what was read is kept in a store
beside the index cache, so pictures read before are not read again while their files are
unchanged. Grouping is in grouping.py, the choice of the picture to keep in keeper.py.
"""
from __future__ import annotations

import os
import time
from dataclasses import dataclass, field
from typing import Iterable, Sequence, Union

import numpy as np

from . import descriptor, grouping
from .keeper import DEFAULT_RULE, is_under, parse_rule
from .reading import FileIdentity, PictureRead, read_picture
from .store import SUFFIX as STORE_SUFFIX, PictureStore

# Named similarity levels: the least robust correlation of two thumbnails (1 is identical)
# that makes them the same picture. "normal" is the default. Below 0.9, different smooth
# pictures of one style (stripes, gradients, soft swirls) start to pass as one.
SIMILARITY_LEVELS = {"exact": 0.98, "strict": 0.95, "normal": 0.93, "loose": 0.9}
DEFAULT_SIMILARITY = "normal"
# Up to this many pictures to read are read in the calling process: a pool would cost more.
IN_PROCESS_LIMIT = 2


@dataclass(frozen=True)
class Member:
    """One picture of a group. `distance` and `transform` are relative to the keeper."""

    path: str  # absolute
    distance: float  # 0 the same picture; 1 - the robust correlation of the thumbnails
    width: int  # as shown (EXIF orientation applied)
    height: int
    bytes: int
    transform: str  # "none", "mirrored", "turned 90", ..., with ", cropped" when a frame was cut
    identity: FileIdentity = field(repr=False)
    stamp: bytes = field(repr=False)  # digest of the bytes that were scanned
    reference: bool = False  # under a reference folder: never acted on

    @property
    def mtime_ns(self) -> int:
        return self.identity.mtime_ns


@dataclass(frozen=True)
class DuplicateGroup:
    """Pictures that are the same picture; the keeper comes first in `members`."""

    members: tuple
    reason: str  # why the keeper is kept

    @property
    def keep(self) -> str:
        return self.members[0].path

    @property
    def keeper(self) -> Member:
        return self.members[0]

    @property
    def paths(self) -> list:
        return [member.path for member in self.members]


@dataclass
class DuplicateScan:
    folders: list
    references: list
    groups: list
    left_out: list  # listed files that are no readable picture
    read: int  # pictures read from their files this time
    from_store: int  # pictures taken from the store
    elapsed: float


def parse_similarity(value: Union[str, float, int]) -> float:
    """A level name or a number in (0, 1]; ValueError naming the value otherwise."""
    if isinstance(value, str) and value in SIMILARITY_LEVELS:
        return SIMILARITY_LEVELS[value]
    try:
        number = float(value)
    except (TypeError, ValueError):
        number = float("nan")
    if not 0 < number <= 1:
        levels = ", ".join(f"{name} ({threshold})" for name, threshold in SIMILARITY_LEVELS.items())
        raise ValueError(f"similarity: expected one of {levels} or a number above 0 and at most 1, got {value!r}")
    return number


def find_duplicates(folders: Union[str, os.PathLike, Iterable], **options) -> list:
    """The groups of pictures under `folders` that are the same picture (see scan_duplicates
    for the options)."""
    return scan_duplicates(folders, **options).groups


def scan_duplicates(folders, *, references: Sequence = (), similarity=DEFAULT_SIMILARITY,
                    keep: str = DEFAULT_RULE, use_store: bool = True, progress=None) -> DuplicateScan:
    """Every group of the same picture among the pictures under `folders` and `references`.

    references: folders of a library to check against; only groups holding a picture outside
    them are returned, and their keeper is one of theirs. similarity: a level name of
    SIMILARITY_LEVELS or a number in (0, 1]. keep: pixels, largest, oldest, newest or
    under:DIR. use_store=False neither reads nor writes the store. progress: an object whose
    phase(label) is a context manager (the command's progress reporter).
    Raises TypeError or ValueError naming a bad argument, FileNotFoundError or
    NotADirectoryError for a folder that is not there.
    """
    started = time.monotonic()
    folders = _folder_list(folders, "folders")
    references = _folder_list(references, "references", allow_empty=True)
    if not folders:
        raise ValueError("folders: at least one folder is needed")
    threshold = parse_similarity(similarity)
    rule = parse_rule(keep)

    import search_index_lib  # the host's settings and folder walk, as they are now

    listing = _listing(search_index_lib, folders + references)
    identities = _identities(listing)
    store = PictureStore(str(search_index_lib.CACHED_INDEXED) + STORE_SUFFIX if use_store else None)
    try:
        stored = store.lookup(identities)
        to_read = [path for path in identities if path not in stored]
        fresh = _read(search_index_lib, to_read, progress)
        store.store(fresh)
        for folder in folders + references:
            store.prune(folder, listing)
    finally:
        store.close()
    reads = {read.path: read for read in [*stored.values(), *fresh]}
    pictures, left_out = _usable(identities, reads)
    groups = _groups(pictures, threshold, rule, references)
    return DuplicateScan(folders, references, groups, left_out, len(fresh), len(stored),
                         time.monotonic() - started)


def _folder_list(value, name: str, allow_empty: bool = False) -> list:
    if isinstance(value, (str, os.PathLike)):
        value = [value]
    try:
        items = list(value)
    except TypeError:
        raise TypeError(f"{name} must be a folder path or a list of them, not {type(value).__name__}") from None
    folders = []
    for item in items:
        if isinstance(item, os.PathLike):
            item = os.fspath(item)
        if not isinstance(item, str):
            raise TypeError(f"{name}: a folder must be a str or path-like object, not {type(item).__name__}")
        if not os.path.exists(item):
            raise FileNotFoundError(2, "No such folder", item)
        if not os.path.isdir(item):
            raise NotADirectoryError(20, "Not a folder", item)
        absolute = os.path.abspath(item)
        if absolute not in folders:
            folders.append(absolute)
    if not folders and not allow_empty:
        raise ValueError(f"{name}: at least one folder is needed")
    return folders


def _listing(sil, folders: list) -> list:
    """The picture files under the folders, each path once, in walk order."""
    seen, listing = set(), []
    for folder in folders:
        for record in sil.get_images_absolute_path_recursive_a_directory(folder):
            if record.image_path not in seen:
                seen.add(record.image_path)
                listing.append(record.image_path)
    return listing


def _identities(listing: list) -> dict:
    """{path: identity} of the regular files listed; a file reached by several paths (hard
    or symbolic links) is one picture, under the first of its paths."""
    identities, files = {}, set()
    for path in listing:
        try:
            status = os.stat(path)
        except (OSError, ValueError):
            continue
        identity = FileIdentity.of_status(status)
        if (identity.device, identity.inode) in files:
            continue
        files.add((identity.device, identity.inode))
        identities[path] = identity
    return identities


def _read(sil, paths: list, progress) -> list:
    """Reads the pictures in the module's pool (looked up now, as the module does)."""
    if not paths:
        return []
    if len(paths) <= IN_PROCESS_LIMIT:
        results = [read_picture(path) for path in paths]
    else:
        workers = max(1, min(os.cpu_count() or 1, 5, len(paths)))
        phase = progress.phase("Reading") if progress is not None else _NoPhase()
        with phase, sil.Pool(workers) as pool:
            results = pool.map(read_picture, paths)
    return [result for result in results if result is not None]


class _NoPhase:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def _usable(identities: dict, reads: dict) -> tuple:
    pictures, left_out = [], []
    for path in identities:
        read = reads.get(path)
        if read is not None and read.thumbnail is not None:
            pictures.append(read)
        else:
            left_out.append(path)
    return pictures, left_out


def _groups(pictures: list, threshold: float, rule, references: list) -> list:
    thumbnails = descriptor.thumbnails_array([read.thumbnail for read in pictures])
    sizes = [(read.width, read.height) for read in pictures]
    plain = descriptor.structure(thumbnails) < descriptor.PLAIN_STRUCTURE
    pairs = grouping.verified_pairs(thumbnails, sizes, plain, threshold)
    groups = []
    for positions in grouping.connected_groups(len(pictures), pairs):
        in_reference = {p: any(is_under(pictures[p].path, folder) for folder in references) for p in positions}
        if all(in_reference.values()):
            continue  # nothing new: every copy is already in the library
        choosable = [p for p in positions if in_reference[p]] or positions
        keeper = min(choosable, key=lambda p: rule.key(_Sortable(pictures[p])))
        members = [_member(pictures[keeper], 0.0, "none", in_reference[keeper])]
        for p in sorted((p for p in positions if p != keeper), key=lambda p: os.fsencode(pictures[p].path)):
            distance, name = _relation(thumbnails, sizes, plain, keeper, p)
            members.append(_member(pictures[p], distance, name, in_reference[p]))
        groups.append(DuplicateGroup(tuple(members), rule.reason(members[0])))
    groups.sort(key=lambda group: os.fsencode(group.keep))
    return groups


def _relation(thumbnails, sizes, plain, keeper: int, member: int) -> tuple:
    """(distance, transform name) of `member` against `keeper`."""
    if plain[keeper] or plain[member]:
        for index in range(8):
            if descriptor.plain_alike(thumbnails[member], thumbnails[keeper], index):
                difference = np.abs(thumbnails[member].astype(np.float32)
                                    - descriptor.transform(index, thumbnails[keeper])).mean()
                return round(float(difference) / 255, 4), descriptor.TRANSFORM_NAMES[index]
        return 1.0, "none"
    index, comparison = descriptor.best_transform(thumbnails[member], thumbnails[keeper],
                                                  sizes[member], sizes[keeper])
    name = descriptor.TRANSFORM_NAMES[index]
    if comparison.cropped:
        name = "cropped" if name == "none" else f"{name}, cropped"
    return round(max(0.0, 1.0 - comparison.similarity), 4), name


class _Sortable:
    """What a keeper rule looks at, for a picture not yet made a member."""

    def __init__(self, read: PictureRead):
        self.path, self.width, self.height = read.path, read.width, read.height
        self.bytes, self.mtime_ns = read.identity.size, read.identity.mtime_ns


def _member(read: PictureRead, distance: float, transform: str, reference: bool) -> Member:
    return Member(read.path, distance, read.width, read.height, read.identity.size, transform,
                  read.identity, read.stamp, reference)
