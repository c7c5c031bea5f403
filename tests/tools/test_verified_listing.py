"""The per-search check of a library's listed pictures against the candidate index: which
must be read again (new, changed, replaced in place) and which are no regular file any more.
It must say exactly what comparing _file_key's text of file_identity would say."""

import os

import pytest

from search_index_tools.file_identity import file_identity
from search_index_tools.verified import _verified_match
from search_index_tools.verified import search as verified_search

PREFIX = "settings-key"


def indexed(paths):
    """numbers and keys as a candidate index holds them for `paths`, made now."""
    numbers = {path: number for number, path in enumerate(paths)}
    keys = [(verified_search._file_key(file_identity(path), PREFIX), (10, 10)) for path in paths]
    return numbers, keys


def by_definition(listing, numbers, keys):
    stale, missing = [], []
    for path in listing:
        identity = file_identity(path)
        if identity is None:
            missing.append(path)
        elif path not in numbers or keys[numbers[path]][0] != verified_search._file_key(identity, PREFIX):
            stale.append((path, tuple(identity)))
    return stale, missing


def rewrite_keeping_times(path):
    status = os.stat(path)
    with open(path, "r+b") as file:
        file.write(b"X")
    os.utime(path, ns=(status.st_atime_ns, status.st_mtime_ns))


@pytest.mark.parametrize(
    "change",
    [
        "nothing",
        "content rewritten, times put back",
        "replaced by another file",
        "not indexed",
        "gone",
        "now a folder",
        "now a fifo",
        "a name that is not UTF-8",
        "a key of other settings",
    ],
)
def test_listing_check_says_what_the_file_identities_say(tmp_path, change):
    paths = []
    for number in range(4):
        path = tmp_path / f"picture_{number}.jpg"
        path.write_bytes(b"picture %d" % number)
        paths.append(str(path))
    if change == "a name that is not UTF-8":
        odd = os.fsdecode(os.path.join(os.fsencode(str(tmp_path)), b"caf\xe9.jpg"))
        with open(odd, "wb") as file:
            file.write(b"odd")
        paths.append(odd)
    numbers, keys = indexed(paths)
    listing = list(paths)
    target = paths[1]
    if change == "content rewritten, times put back":
        rewrite_keeping_times(target)
    elif change == "replaced by another file":
        os.remove(target)
        with open(target, "wb") as file:
            file.write(b"picture 1")
    elif change == "not indexed":
        del numbers[target]
    elif change in ("gone", "now a folder", "now a fifo"):
        os.remove(target)
        if change == "now a folder":
            os.mkdir(target)
        elif change == "now a fifo":
            os.mkfifo(target)
    elif change == "a key of other settings":
        keys[numbers[target]] = ("other-settings|" + keys[numbers[target]][0].split("|", 1)[1], (10, 10))

    stale, missing = _verified_match.check_listing(listing, numbers, keys, PREFIX + "|")
    assert (stale, missing) == by_definition(listing, numbers, keys)
    changed = change not in ("nothing", "a name that is not UTF-8")
    assert (stale or missing) if changed else not (stale or missing)
