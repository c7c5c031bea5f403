"""The duplicate finder: groups of pictures that are the same picture, whatever was done to
them (resized, recompressed, converted, cropped by up to a tenth of a side, brighter, darker,
higher in contrast, grey, captioned in a corner, mirrored, turned), and safe actions on them.

    from search_index_tools import find_duplicates

    for group in find_duplicates(["/photos", "/phone"]):
        print("keep", group.keep, "of", group.paths)

The command is `find-images duplicates FOLDER [FOLDER ...]` (and `find-images undo LOG`).
"""

from .finder import (
    DEFAULT_SIMILARITY,
    SIMILARITY_LEVELS,
    DuplicateGroup,
    DuplicateScan,
    Member,
    find_duplicates,
    parse_similarity,
    scan_duplicates,
)

__all__ = [
    "find_duplicates",
    "scan_duplicates",
    "DuplicateGroup",
    "DuplicateScan",
    "Member",
    "SIMILARITY_LEVELS",
    "DEFAULT_SIMILARITY",
    "parse_similarity",
]
