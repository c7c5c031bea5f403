"""find_duplicates: every group of pictures that are the same picture, across folders.

The folders are listed with search_index_lib's walk (its FILE_EXTENSION_REGEX picks the
pictures). Each picture is read once, in the module's worker pool (`search_index_lib.Pool`,
so the command's progress pool and the Ray pool serve here as they do for an index build),
for a grey thumbnail, its size and a stamp of its bytes; what was read is kept in a store
beside the index cache, so pictures read before are not read again while their files are
unchanged. Grouping is in grouping.py, the choice of the picture to keep in keeper.py.
"""

from __future__ import annotations

import builtins
import functools
import os
import stat
import time
from collections.abc import Callable, Iterable, Sequence
from contextlib import AbstractContextManager
from dataclasses import dataclass, field
from typing import Any, Protocol

import numpy as np
from PIL import Image

from .. import pixel_limit
from ..file_identity import FileIdentity
from . import descriptor, grouping, kept_grouping, local_comparisons, pair_verdicts
from .keeper import DEFAULT_RULE, KeeperRule, is_under, lies_within, parse_rule
from .kept_decisions import KeptDecisions, picture_token, scope_of
from .kept_grouping import Decided, Picture, Runner, kept_pairs
from .reading import PictureRead, read_picture
from .store import SUFFIX as STORE_SUFFIX
from .store import PictureStore, StoredEntry

# What is known of a picture: read now, or taken from the store (without its thumbnail).
Entry = PictureRead | StoredEntry
# (distance, transform name) of a member against its keeper, given their pair if they were one.
Relation = Callable[[int, int, grouping.Pair | None], tuple[float, str]]

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
    stamp: builtins.bytes = field(repr=False)  # digest of the bytes that were scanned
    reference: bool = False  # under a reference folder: never acted on

    @property
    def mtime_ns(self) -> int:
        return self.identity.mtime_ns


@dataclass(frozen=True)
class DuplicateGroup:
    """Pictures that are the same picture; the keeper comes first in `members`."""

    members: tuple[Member, ...]
    reason: str  # why the keeper is kept

    @property
    def keep(self) -> str:
        return self.members[0].path

    @property
    def keeper(self) -> Member:
        return self.members[0]

    @property
    def paths(self) -> list[str]:
        return [member.path for member in self.members]


@dataclass
class DuplicateScan:
    folders: list[str]
    references: list[str]
    groups: list[DuplicateGroup]
    left_out: list[str]  # listed files that are no readable picture
    read: int  # pictures read from their files this time
    from_store: int  # pictures taken from the store
    elapsed: float
    # With the store: pictures whose candidates were searched among all pictures this time,
    # and candidate pairs compared this time (the others' verdicts were kept). None without it.
    searched: int | None = None
    verified: int | None = None


def parse_similarity(value: str | float | int) -> float:
    """A level name or a number in (0, 1]; ValueError naming the value otherwise."""
    if isinstance(value, str) and value in SIMILARITY_LEVELS:
        return SIMILARITY_LEVELS[value]
    try:
        number = float(value)
    except (TypeError, ValueError):
        number = float("nan")
    if not 0 < number <= 1:
        levels = ", ".join(f"{name} ({threshold})" for name, threshold in SIMILARITY_LEVELS.items())
        raise ValueError(
            f"similarity: expected one of {levels} or a number above 0 and at most 1, got {value!r}"
        )
    return number


Folders = str | os.PathLike[str] | Iterable[str | os.PathLike[str]]


class Progress(Protocol):
    """What reports progress: the command's progress reporter."""

    def phase(self, label: str) -> AbstractContextManager[Any]: ...


def find_duplicates(folders: Folders, **options: Any) -> list[DuplicateGroup]:
    """The groups of pictures under `folders` that are the same picture (see scan_duplicates
    for the options)."""
    return scan_duplicates(folders, **options).groups


def scan_duplicates(
    folders: Folders,
    *,
    references: Folders = (),
    similarity: str | float = DEFAULT_SIMILARITY,
    keep: str = DEFAULT_RULE,
    use_store: bool = True,
    progress: Progress | None = None,
) -> DuplicateScan:
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
    folder_list = _folder_list(folders, "folders")
    reference_list = _folder_list(references, "references", allow_empty=True)
    if not folder_list:
        raise ValueError("folders: at least one folder is needed")
    held = reference_holding(folder_list, reference_list)
    if held is not None:
        raise ValueError(
            f"references: {held[0]} holds the folder {held[1]}, whose pictures would all count "
            "as the library's"
        )
    threshold = parse_similarity(similarity)
    rule = parse_rule(keep)

    import search_index_lib  # the host's settings and folder walk, as they are now

    scanned = folder_list + reference_list
    listing = _listing(search_index_lib, scanned)
    identities = _identities(listing)
    store = PictureStore(str(search_index_lib.CACHED_INDEXED) + STORE_SUFFIX if use_store else None)
    try:
        stored = store.lookup_entries(identities)
        to_read = [path for path in identities if path not in stored]
        fresh = _read(search_index_lib, to_read, progress)
        store.store(fresh)
        store.prune(scanned, listing)
        entries: dict[str, Entry] = {**stored, **{read.path: read for read in fresh}}
        pictures, left_out = _usable(identities, entries)
        if store.active:
            comparing = _comparison_runner(search_index_lib, progress)
            groups, decided = _kept_groups(
                store, pictures, threshold, rule, reference_list, scanned, *comparing
            )
            searched, verified = decided.searched, decided.verified
        else:
            # Without a store every picture was read now.
            reads = [entry for entry in pictures if isinstance(entry, PictureRead)]
            assert len(reads) == len(pictures)
            groups, searched, verified = _groups(reads, threshold, rule, reference_list), None, None
    finally:
        store.close()
    return DuplicateScan(
        folder_list,
        reference_list,
        groups,
        left_out,
        len(fresh),
        len(stored),
        time.monotonic() - started,
        searched,
        verified,
    )


def reference_holding(folders: list[str], references: list[str]) -> tuple[str, str] | None:
    """(reference, folder) for a folder to check that lies in a reference library or is one
    (absolute paths, compared as given and where their links lead), else None. Its pictures
    would all count as the library's: none would be reported or acted on."""
    for folder in folders:
        for reference in references:
            if lies_within(folder, reference):
                return reference, folder
    return None


def _folder_list(value: Folders, name: str, allow_empty: bool = False) -> list[str]:
    if isinstance(value, (str, os.PathLike)):
        value = [value]
    try:
        items = list(value)
    except TypeError:
        raise TypeError(
            f"{name} must be a folder path or a list of them, not {type(value).__name__}"
        ) from None
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


def _listing(sil: Any, folders: list[str]) -> list[str]:
    """The picture files under the folders, each path once, in walk order."""
    seen, listing = set(), []
    for folder in folders:
        for record in sil.get_images_absolute_path_recursive_a_directory(folder):
            if record.image_path not in seen:
                seen.add(record.image_path)
                listing.append(record.image_path)
    return listing


class _InReference:
    """Whether a picture is the reference library's: its path lies under a reference folder,
    or where its path leads does (the library reached through a link, a scanned folder that
    is a link into the library, or a link to one of the library's pictures). A file reached
    by several paths is listed under one of them, maybe not the library's, and must still
    never be acted on. Asked of the pictures of groups only: links are resolved for those."""

    def __init__(self, folders: list[str]):
        self.folders = folders
        self.real_folders = [os.path.realpath(folder) for folder in folders]

    def __call__(self, entry: Entry) -> bool:
        if any(is_under(entry.path, folder) for folder in self.folders):
            return True
        if not self.folders:
            return False
        real = os.path.realpath(entry.path)
        return any(is_under(real, folder) for folder in self.real_folders)


def _identities(listing: list[str]) -> dict[str, FileIdentity]:
    """{path: identity} of the regular files listed; a file reached by several paths (hard
    or symbolic links) is one picture, under the first of its paths that is no symbolic link
    (else the first): an action on the path then acts on the picture, not on a link to it."""
    identities: dict[str, FileIdentity] = {}
    paths: dict[tuple[int, int], tuple[str, bool]] = {}  # file -> (its path, whether a link)
    for path in listing:
        try:
            status = os.lstat(path)
            link = stat.S_ISLNK(status.st_mode)
            if link:
                status = os.stat(path)
        except (OSError, ValueError):
            continue
        identity = FileIdentity.of_status(status)
        file = (identity.device, identity.inode)
        if file in paths:
            first, first_is_link = paths[file]
            if link or not first_is_link:
                continue
            del identities[first]
        paths[file] = (path, link)
        identities[path] = identity
    return identities


def _read(sil: Any, paths: list[str], progress: Progress | None) -> list[PictureRead]:
    """Reads the pictures in the module's pool (looked up now, as the module does)."""
    if not paths:
        return []
    if len(paths) <= IN_PROCESS_LIMIT:
        results = [read_picture(path) for path in paths]
    else:
        # Workers started afresh (spawn, forkserver, Ray) would hold Pillow's own pixel limit.
        reader = functools.partial(pixel_limit.read_under, Image.MAX_IMAGE_PIXELS, read_picture)
        results = _pool_runner(sil, progress, "Reading")(reader, paths)
    return [result for result in results if result is not None]


def _pool_runner(sil: Any, progress: Progress | None, label: str) -> Runner:
    """A map over the module's pool (looked up when it runs, as the module does), shown as
    `label` on the progress reporter."""

    def run(function: Callable[[Any], Any], items: Sequence[Any]) -> list[Any]:
        workers = max(1, min(os.cpu_count() or 1, 5, len(items)))
        phase = progress.phase(label) if progress is not None else _NoPhase()
        with phase, sil.Pool(workers) as pool:
            return list(pool.map(function, items))

    return run


def _comparison_runner(sil: Any, progress: Progress | None) -> tuple[Runner, int, bool]:
    """Where the comparisons run, how many pairs go to an item, and whether they run in this
    process: threads of this process while the module's pool is one of this machine's, that
    pool otherwise."""
    pool = sil.Pool
    if not local_comparisons.on_this_machine(pool):
        return _pool_runner(sil, progress, "Comparing"), kept_grouping.PAIRS_PER_ITEM, False
    threads = local_comparisons.thread_count(pool)

    def run(function: Callable[[Any], Any], items: Sequence[Any]) -> list[Any]:
        phase = progress.phase("Comparing") if progress is not None else _NoPhase()
        with phase:
            # The command's reporter draws a bar from these, as its pool would.
            start, item = getattr(progress, "start", None), getattr(progress, "item", None)
            return local_comparisons.map_on_threads(function, items, threads, start, item)

    return run, local_comparisons.PAIRS_PER_THREAD_ITEM, True


class _NoPhase:
    def __enter__(self) -> _NoPhase:
        return self

    def __exit__(self, *exc: object) -> None:
        return None


def _usable(identities: dict[str, FileIdentity], entries: dict[str, Entry]) -> tuple[list[Entry], list[str]]:
    """The pictures with a thumbnail, in the byte order of their paths, and the paths left
    out, in listing order.

    The listing comes in the order the file system gives, which changes when files are added,
    removed or copied elsewhere. The pictures' places decide the order of the rows the
    approximate neighbour search is trained on and holds, and which way round each pair is
    compared; an order of their own makes candidates and verdicts depend on the folder alone."""
    pictures, left_out = [], []
    for path in identities:
        entry = entries.get(path)
        if entry is not None and _has_thumbnail(entry):
            pictures.append(entry)
        else:
            left_out.append(path)
    pictures.sort(key=lambda entry: os.fsencode(entry.path))
    return pictures, left_out


def _has_thumbnail(entry: Entry) -> bool:
    return entry.usable if isinstance(entry, StoredEntry) else entry.thumbnail is not None


def _groups(
    pictures: list[PictureRead], threshold: float, rule: KeeperRule, references: list[str]
) -> list[DuplicateGroup]:
    """The groups, every decision made from the thumbnails read now."""
    thumbnails = descriptor.thumbnails_array(
        [read.thumbnail for read in pictures if read.thumbnail is not None]
    )
    sizes = [(read.width, read.height) for read in pictures]
    plain = descriptor.structure(thumbnails) < descriptor.PLAIN_STRUCTURE
    pairs = grouping.verified_pairs(thumbnails, sizes, plain, threshold)
    return _grouped(
        list(pictures),
        pairs,
        rule,
        _InReference(references),
        lambda keeper, member, direct: _relation(thumbnails, sizes, plain, keeper, member, direct),
    )


def _kept_groups(
    store: PictureStore,
    pictures: list[Entry],
    threshold: float,
    rule: KeeperRule,
    references: list[str],
    scanned: list[str],
    run: Runner,
    pairs_per_item: int,
    shared: bool,
) -> tuple[list[DuplicateGroup], Decided]:
    """The groups, with the decisions kept in the store for what did not change (the same
    groups as _groups gives)."""
    decisions = KeptDecisions(store)
    tokens = [picture_token(entry.path, entry.identity) for entry in pictures]
    source = _Thumbnails(store, pictures)
    decided = kept_pairs(
        [Picture(token, (entry.width, entry.height)) for token, entry in zip(tokens, pictures)],
        source.array,
        threshold,
        decisions,
        scope_of(scanned),
        run,
        pairs_per_item,
        shared,
    )
    kept_relations = decisions.relations()
    fresh_relations: dict[tuple[int, int], tuple[float, str]] = {}

    def relation(keeper: int, member: int, direct: grouping.Pair | None) -> tuple[float, str]:
        if direct is not None and (direct.first, direct.second) not in decided.plain_pairs:
            return _relation_of_pair(keeper, member, direct)
        # Otherwise the relation depends on the two pictures alone, and is kept.
        key = (tokens[keeper], tokens[member])
        found = kept_relations.get(key)
        if found is None:
            pair = source.array([keeper, member])
            plain = descriptor.structure(pair) < descriptor.PLAIN_STRUCTURE
            sizes = [
                (pictures[keeper].width, pictures[keeper].height),
                (pictures[member].width, pictures[member].height),
            ]
            found = fresh_relations[key] = _relation(pair, sizes, plain, 0, 1)
        return found

    groups = _grouped(pictures, decided.pairs, rule, _InReference(references), relation)
    decisions.keep_relations(fresh_relations)
    return groups, decided


class _Thumbnails:
    """Thumbnails by position: those read now, the others loaded from the store when first
    needed (a scan of an unchanged folder needs none)."""

    def __init__(self, store: PictureStore, pictures: list[Entry]):
        self._store = store
        self._pictures = pictures
        self._loaded: dict[int, bytes] = {
            position: entry.thumbnail
            for position, entry in enumerate(pictures)
            if isinstance(entry, PictureRead) and entry.thumbnail is not None
        }

    def array(self, positions: list[int]) -> np.ndarray:
        missing = [position for position in dict.fromkeys(positions) if position not in self._loaded]
        if missing:
            found = self._store.thumbnails([self._pictures[position] for position in missing])
            for position in missing:
                entry = self._pictures[position]
                thumbnail = found.get(entry.path)
                if thumbnail is None:
                    thumbnail = self._read_again(entry)
                self._loaded[position] = thumbnail
        return descriptor.thumbnails_array([self._loaded[position] for position in positions])

    @staticmethod
    def _read_again(entry: Entry) -> bytes:
        """A thumbnail the store no longer gives (it failed since): the file is read again,
        and must still be the file the scan listed."""
        read = read_picture(entry.path)
        if read is None or read.thumbnail is None or read.identity != entry.identity:
            raise RuntimeError(f"{entry.path} changed during the scan; scan again")
        return read.thumbnail


def _grouped(
    pictures: list[Entry],
    pairs: list[grouping.Pair],
    rule: KeeperRule,
    reference: Callable[[Entry], bool],
    relation: Relation,
) -> list[DuplicateGroup]:
    direct = {(pair.first, pair.second): pair for pair in pairs}
    groups = []
    for positions in grouping.connected_groups(len(pictures), pairs):
        in_reference = {p: reference(pictures[p]) for p in positions}
        if all(in_reference.values()):
            continue  # nothing new: every copy is already in the library
        choosable = [p for p in positions if in_reference[p]] or positions
        keeper = min(choosable, key=lambda p: rule.key(_Sortable(pictures[p])))
        members = [_member(pictures[keeper], 0.0, "none", in_reference[keeper])]
        for p in sorted((p for p in positions if p != keeper), key=lambda p: os.fsencode(pictures[p].path)):
            distance, name = relation(keeper, p, direct.get((min(keeper, p), max(keeper, p))))
            members.append(_member(pictures[p], distance, name, in_reference[p]))
        reason = rule.reason(members[0])
        if in_reference[keeper]:
            # Chosen among the library's pictures first, whatever the others have.
            reason = f"in the reference library, then {reason}"
        groups.append(DuplicateGroup(tuple(members), reason))
    groups.sort(key=lambda group: os.fsencode(group.keep))
    return groups


def _relation(
    thumbnails: np.ndarray,
    sizes: list[tuple[int, int]],
    plain: np.ndarray,
    keeper: int,
    member: int,
    direct: grouping.Pair | None = None,
) -> tuple[float, str]:
    """(distance, transform name) of `member` against `keeper`. `direct` is their pair where
    they were compared as candidates: that comparison, made already, says it."""
    if direct is not None and not (plain[keeper] or plain[member]):
        return _relation_of_pair(keeper, member, direct)
    if plain[keeper] or plain[member]:
        for index in range(8):
            if descriptor.plain_alike(thumbnails[member], thumbnails[keeper], index):
                difference = np.abs(
                    thumbnails[member].astype(np.float32) - descriptor.transform(index, thumbnails[keeper])
                ).mean()
                return round(float(difference) / 255, 4), descriptor.TRANSFORM_NAMES[index]
        return 1.0, "none"
    index, comparison = pair_verdicts.best_transform(
        thumbnails[member], thumbnails[keeper], sizes[member], sizes[keeper]
    )
    return _described(index, comparison.cropped, comparison.similarity)


def _relation_of_pair(keeper: int, member: int, pair: grouping.Pair) -> tuple[float, str]:
    """The relation of two pictures with structure that were compared as a candidate pair.
    The pair's transform turns its second picture into its first; the member's is the one
    that turns the keeper into the member."""
    index = pair.transform if pair.first == member else descriptor.inverse(pair.transform)
    return _described(index, pair.cropped, pair.similarity)


def _described(index: int, cropped: bool, similarity: float) -> tuple[float, str]:
    name = descriptor.TRANSFORM_NAMES[index]
    if cropped:
        name = "cropped" if name == "none" else f"{name}, cropped"
    return round(max(0.0, 1.0 - similarity), 4), name


class _Sortable:
    """What a keeper rule looks at, for a picture not yet made a member."""

    def __init__(self, read: Entry):
        self.path, self.width, self.height = read.path, read.width, read.height
        self.bytes, self.mtime_ns = read.identity.size, read.identity.mtime_ns


def _member(read: Entry, distance: float, transform: str, reference: bool) -> Member:
    return Member(
        read.path,
        distance,
        read.width,
        read.height,
        read.identity.size,
        transform,
        read.identity,
        read.stamp,
        reference,
    )
