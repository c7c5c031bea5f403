"""Text for people and JSON for programs."""
import json
import os

from .searches import SIMILAR, shown_path


def printable(text):
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


def format_score(outcome, score):
    if outcome.command == SIMILAR or isinstance(score, float):
        return f"{score:.4f}"
    return str(score)


def results_text(outcome):
    """One aligned line per result: rank, score, path (relative to the folder when under it)."""
    header = ("rank", outcome.score_name, "path")
    rows = [(str(hit.rank), format_score(outcome, hit.score), printable(shown_path(hit.path, outcome.folder)))
            for hit in outcome.hits]
    rank_width = max(len(row[0]) for row in [header, *rows])
    score_width = max(len(row[1]) for row in [header, *rows])
    return "".join(f"{rank:>{rank_width}}  {score:>{score_width}}  {path}\n"
                   for rank, score, path in [header, *rows])


def results_json(outcome):
    document = {
        "command": outcome.command,
        "query": os.path.abspath(outcome.query),
        "folder": os.path.abspath(outcome.folder),
        "score": outcome.score_name,
        "results": [{"rank": hit.rank, "path": os.path.abspath(hit.path), "score": hit.score,
                     **({"outline": [list(corner) for corner in hit.outline]} if hit.outline else {}),
                     **({"placed_by": hit.placed_by} if hit.placed_by else {})}
                    for hit in outcome.hits],
        "elapsed_seconds": round(outcome.elapsed, 3),
    }
    return json.dumps(document, indent=2) + "\n"


# How many left-out pictures the text output names before it only counts the rest.
LEFT_OUT_SHOWN = 10


def index_text(summary):
    lines = [f"{summary.indexed} pictures indexed, {len(summary.left_out)} left out "
             f"in {printable(summary.folder)}\n"]
    if summary.left_out:
        lines.append("left out (not readable as a picture):\n")
        lines += [f"  {printable(shown_path(path, summary.folder))}\n" for path in summary.left_out[:LEFT_OUT_SHOWN]]
        if len(summary.left_out) > LEFT_OUT_SHOWN:
            lines.append(f"  ... and {len(summary.left_out) - LEFT_OUT_SHOWN} more\n")
    return "".join(lines)


def index_json(summary):
    document = {
        "command": "index",
        "folder": os.path.abspath(summary.folder),
        "indexed": summary.indexed,
        "left_out": [os.path.abspath(path) for path in summary.left_out],
        "elapsed_seconds": round(summary.elapsed, 3),
    }
    return json.dumps(document, indent=2) + "\n"
