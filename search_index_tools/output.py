"""Text for people and JSON for programs."""

import json
import os

from .readable_listing import Unreadable
from .searches import SIMILAR, IndexSummary, Outcome, shown_path


def printable(text: str) -> str:
    """File names may hold newlines, terminal escape sequences or bytes that are not UTF-8;
    printed raw they would break the one-line-per-result layout or drive the terminal. Such
    characters are shown escaped, as Python writes them in a string literal."""
    if text.isprintable():
        return text
    shown = []
    for char in text:
        if char.isprintable():
            shown.append(char)
        elif 0xDC80 <= ord(char) <= 0xDCFF:  # a byte that was not UTF-8 (surrogateescape)
            shown.append(f"\\x{ord(char) - 0xDC00:02x}")
        else:
            shown.append(repr(char)[1:-1])
    return "".join(shown)


def format_score(outcome: Outcome, score: float) -> str:
    if outcome.command == SIMILAR or isinstance(score, float):
        return f"{score:.4f}"
    return str(score)


def results_text(outcome: Outcome) -> str:
    """One aligned line per result: rank, score, path (relative to the folder when under it)."""
    header = ("rank", outcome.score_name, "path")
    rows = [
        (str(hit.rank), format_score(outcome, hit.score), printable(shown_path(hit.path, outcome.folder)))
        for hit in outcome.hits
    ]
    rank_width = max(len(row[0]) for row in [header, *rows])
    score_width = max(len(row[1]) for row in [header, *rows])
    return "".join(
        f"{rank:>{rank_width}}  {score:>{score_width}}  {path}\n" for rank, score, path in [header, *rows]
    )


def results_paths(outcome: Outcome, separator: bytes) -> bytes:
    """The results' absolute paths as bytes, each ended by `separator`: the file names' own
    bytes (names that are not UTF-8 included), for programs such as xargs."""
    return b"".join(os.fsencode(os.path.abspath(hit.path)) + separator for hit in outcome.hits)


def unreadable_json(unreadable: Unreadable) -> dict[str, list[str]]:
    return {
        "unreadable_pictures": [os.path.abspath(path) for path, _ in unreadable.pictures],
        "unreadable_folders": [os.path.abspath(path) for path, _ in unreadable.folders],
    }


def _counted(count: int, one: str, many: str) -> str:
    return f"{count} {one if count == 1 else many}"


def unreadable_notes(unreadable: Unreadable, folder: str, verbose: bool) -> list[str]:
    """Lines for standard error about what a search left out because it could not be read:
    how many, and with `verbose` which."""
    lines = []
    if unreadable.pictures:
        lines.append(
            f"{_counted(len(unreadable.pictures), 'picture', 'pictures')} could not be read "
            f"and {'was' if len(unreadable.pictures) == 1 else 'were'} left out"
            + ("" if verbose else " (--verbose names them)")
        )
    if unreadable.folders:
        lines.append(
            f"{_counted(len(unreadable.folders), 'folder', 'folders')} could not be read, so "
            "the pictures in it were not searched" + ("" if verbose else " (--verbose names them)")
        )
    if verbose:
        lines += [
            f"cannot read {shown_path(path, folder)}: {reason}"
            for path, reason in [*unreadable.pictures, *unreadable.folders]
        ]
    return lines


def results_json(outcome: Outcome) -> str:
    document = {
        "command": outcome.command,
        "query": os.path.abspath(outcome.query),
        "folder": os.path.abspath(outcome.folder),
        "score": outcome.score_name,
        "results": [
            {
                "rank": hit.rank,
                "path": os.path.abspath(hit.path),
                "score": hit.score,
                **({"outline": [list(corner) for corner in hit.outline]} if hit.outline else {}),
                **({"placed_by": hit.placed_by} if hit.placed_by else {}),
            }
            for hit in outcome.hits
        ],
        "elapsed_seconds": round(outcome.elapsed, 3),
        **unreadable_json(outcome.unreadable),
    }
    return json.dumps(document, indent=2) + "\n"


# How many left-out pictures the text output names before it only counts the rest.
LEFT_OUT_SHOWN = 10


def _named(title: str, paths: list[str], folder: str) -> list[str]:
    if not paths:
        return []
    lines = [title]
    lines += [f"  {printable(shown_path(path, folder))}\n" for path in paths[:LEFT_OUT_SHOWN]]
    if len(paths) > LEFT_OUT_SHOWN:
        lines.append(f"  ... and {len(paths) - LEFT_OUT_SHOWN} more\n")
    return lines


def index_text(summary: IndexSummary) -> str:
    unreadable = summary.unreadable
    left_out = len(summary.left_out) + len(unreadable.pictures)
    lines = [f"{summary.indexed} pictures indexed, {left_out} left out in {printable(summary.folder)}\n"]
    lines += _named("left out (not readable as a picture):\n", summary.left_out, summary.folder)
    lines += _named(
        "left out (the file cannot be read):\n", [path for path, _ in unreadable.pictures], summary.folder
    )
    lines += _named(
        "not searched (the folder cannot be read):\n",
        [path for path, _ in unreadable.folders],
        summary.folder,
    )
    return "".join(lines)


def index_json(summary: IndexSummary) -> str:
    document = {
        "command": "index",
        "folder": os.path.abspath(summary.folder),
        "indexed": summary.indexed,
        "left_out": [os.path.abspath(path) for path in summary.left_out],
        "elapsed_seconds": round(summary.elapsed, 3),
        **unreadable_json(summary.unreadable),
    }
    return json.dumps(document, indent=2) + "\n"
