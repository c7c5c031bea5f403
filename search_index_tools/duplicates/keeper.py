"""Which picture of a group to keep, and why.

Rules: "pixels" (the default: most pixels, then the largest file, then the oldest
modification time), "largest" (largest file first), "oldest", "newest", and "under:DIR" (a
picture under DIR first, then the default rule). Ties left by every criterion go to the path
that sorts first, so the choice never depends on the order pictures were read in.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import NamedTuple, Protocol

DEFAULT_RULE = "pixels"
RULES = ("pixels", "largest", "oldest", "newest")
UNDER = "under:"


class Rankable(Protocol):
    """What a rule looks at in a picture: a group's member, or a picture not yet made one."""

    @property
    def path(self) -> str: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def bytes(self) -> int: ...
    @property
    def mtime_ns(self) -> int: ...


# Compared element by element: the smallest is kept.
SortKey = tuple[int | bytes, ...]


class KeeperRule(NamedTuple):
    name: str
    key: Callable[[Rankable], SortKey]  # member -> sort key, smallest kept
    reason: Callable[[Rankable], str]  # member -> text saying why it is kept


def _pixels(member: Rankable) -> int:
    return member.width * member.height


def _default_key(member: Rankable) -> SortKey:
    return (-_pixels(member), -member.bytes, member.mtime_ns, os.fsencode(member.path))


def _reason_pixels(member: Rankable) -> str:
    return f"most pixels ({member.width} x {member.height}), then largest file, then oldest"


def parse_rule(text: str) -> KeeperRule:
    """The rule named by `text`; ValueError naming it when there is no such rule."""
    if not isinstance(text, str):
        raise TypeError(f"keep must be a str, not {type(text).__name__}")
    if text == "pixels":
        return KeeperRule(text, _default_key, _reason_pixels)
    if text == "largest":
        return KeeperRule(
            text,
            lambda m: (-m.bytes, -_pixels(m), m.mtime_ns, os.fsencode(m.path)),
            lambda m: f"largest file ({m.bytes} bytes)",
        )
    if text == "oldest":
        return KeeperRule(
            text,
            lambda m: (m.mtime_ns, -_pixels(m), -m.bytes, os.fsencode(m.path)),
            lambda m: "oldest modification time",
        )
    if text == "newest":
        return KeeperRule(
            text,
            lambda m: (-m.mtime_ns, -_pixels(m), -m.bytes, os.fsencode(m.path)),
            lambda m: "newest modification time",
        )
    if text.startswith(UNDER) and len(text) > len(UNDER):
        folder = os.path.abspath(text[len(UNDER) :])
        return KeeperRule(
            text,
            lambda m: (not is_under(m.path, folder), *_default_key(m)),
            lambda m: (f"under {folder}, then " if is_under(m.path, folder) else "") + _reason_pixels(m),
        )
    raise ValueError(f"keep: no such rule {text!r}; use one of {', '.join(RULES)} or under:DIR")


def is_under(path: str, folder: str) -> bool:
    """Whether `path` lies inside `folder` (both absolute)."""
    try:
        return os.path.commonpath([folder, path]) == folder and path != folder
    except ValueError:
        return False


def lies_within(inner: str, outer: str) -> bool:
    """Whether folder `inner` is `outer` or lies inside it (both absolute), by their paths as
    given or by where their links lead."""
    return any(
        a == b or is_under(a, b)
        for a, b in ((inner, outer), (os.path.realpath(inner), os.path.realpath(outer)))
    )
