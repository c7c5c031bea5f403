"""The duplicate finder's text listing and JSON document."""

from __future__ import annotations

import json
import os
from typing import TYPE_CHECKING

from ..output import printable
from .keeper import is_under

if TYPE_CHECKING:
    from .finder import DuplicateScan


def shown_path(path: str, folders: list[str]) -> str:
    """`path` relative to the folder given, or, when several were given, to the folder that
    holds them all: two pictures of one name in two folders (phone/DCIM/IMG_0001.JPG and
    camera/DCIM/IMG_0001.JPG) must not look alike. Absolute when only the root holds them."""
    root = os.path.commonpath(folders) if folders else None
    if root is None or root == os.path.dirname(root) or not is_under(path, root):
        return path
    return os.path.relpath(path, root)


def groups_text(scan: DuplicateScan) -> str:
    """A block per group: the keeper and why, then each picture with its distance to the
    keeper, size, file size and the edit found; paths as shown_path gives them."""
    folders = scan.folders + scan.references
    lines = []
    for number, group in enumerate(scan.groups, 1):
        lines.append(f"group {number}: keep {printable(shown_path(group.keep, folders))} ({group.reason})\n")
        rows = []
        for position, member in enumerate(group.members):
            role = "keep" if position == 0 else ("ref" if member.reference else "")
            rows.append(
                (
                    role,
                    f"{member.distance:.4f}",
                    f"{member.width} x {member.height}",
                    f"{member.bytes:,} B",
                    member.transform,
                    printable(shown_path(member.path, folders)),
                )
            )
        widths = [max(len(row[column]) for row in rows) for column in range(5)]
        for row in rows:
            lines.append(
                f"  {row[0]:<{widths[0]}}  {row[1]:>{widths[1]}}  {row[2]:>{widths[2]}}  "
                f"{row[3]:>{widths[3]}}  {row[4]:<{widths[4]}}  {row[5]}\n"
            )
    pictures = sum(len(group.members) for group in scan.groups)
    extra = sum(1 for group in scan.groups for member in group.members[1:] if not member.reference)
    lines.append(
        f"{len(scan.groups)} group{'' if len(scan.groups) == 1 else 's'} of the same picture, "
        f"{pictures} pictures, {extra} beside their keeper\n"
    )
    return "".join(lines)


def groups_json(scan: DuplicateScan) -> str:
    document: dict[str, object] = {
        "command": "duplicates",
        "folders": scan.folders,
        "groups": [
            {
                "keep": group.keep,
                "paths": group.paths,
                "members": [
                    {
                        "path": member.path,
                        "distance": member.distance,
                        "width": member.width,
                        "height": member.height,
                        "bytes": member.bytes,
                        "transform": member.transform,
                    }
                    for member in group.members
                ],
            }
            for group in scan.groups
        ],
        "elapsed_seconds": round(scan.elapsed, 3),
    }
    return json.dumps(document, indent=2) + "\n"
