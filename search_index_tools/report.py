"""A self-contained HTML page of a search's results, to look at.

Every picture is embedded as a small JPEG thumbnail in a data URI, so the page loads nothing
from anywhere: it can be mailed, archived or opened offline, and it stays small however
large the photographs are. File names are data: every piece of text is escaped, and the
page's Content-Security-Policy allows no script at all and images from data URIs only.
"""

import base64
import contextlib
import hashlib
import html
import io
import os
import tempfile
from collections.abc import Iterable, Sequence
from concurrent.futures import ThreadPoolExecutor
from datetime import UTC, datetime
from pathlib import Path

from PIL import ExifTags, Image, ImageDraw, ImageOps

from .output import format_score, printable
from .report_target import REPORT_MARKER
from .searches import CROP, Hit, Outcome, shown_path

Point = tuple[float, float]

THUMBNAIL_SIDE = 640  # pixels, longest side; shown at half size, so sharp on dense screens
THUMBNAIL_QUALITY = 80
KEYPOINT_COLOUR = (255, 208, 0)
KEYPOINT_EDGE = (0, 0, 0)
# Boxes and outlines: a light line on a wider dark one, so they show on any picture.
DARK_STROKE, DARK_WIDTH = (0, 0, 0), 6
LIGHT_STROKE, LIGHT_WIDTH = (255, 255, 255), 2

# Orientations that turn the stored picture by a quarter turn. The keypoint reader (OpenCV)
# applies the tag as Pillow's exif_transpose does, so the points stay on the turned thumbnail;
# except in the formats of _POINTS_AS_STORED, which OpenCV reads as stored: their points are
# marked before the thumbnail is turned.
_QUARTER_TURNS = {5, 6, 7, 8}
_POINTS_AS_STORED = frozenset({"AVIF"})

STYLE = """
body { font: 15px/1.4 system-ui, sans-serif; margin: 24px; color: #222; background: #fafafa; }
h1 { font-size: 20px; margin: 0 0 4px; }
.facts { color: #555; margin: 0 0 16px; }
.path { font-family: ui-monospace, monospace; }
.path .part { display: inline-block; max-width: 100%; overflow-wrap: anywhere; }
.query { display: flex; gap: 16px; align-items: flex-start; margin-bottom: 24px; }
.legend { color: #555; }
.results { list-style: none; padding: 0; display: grid;
           grid-template-columns: repeat(auto-fill, minmax(340px, 1fr)); gap: 16px; }
.results li { background: #fff; border: 1px solid #ddd; border-radius: 6px; padding: 8px; }
.results img, .query img { display: block; max-width: 100%; max-height: 320px; margin: 0 auto 6px; }
.results a, .query a { display: block; }
.rank { font-weight: bold; }
.score { color: #555; }
.missing { color: #a00; font-style: italic; }
""".strip()


def content_policy(style: str) -> str:
    """The page's Content-Security-Policy: images from data URIs only, the one style sheet
    `style` (by its digest), no script, nothing fetched."""
    digest = base64.b64encode(hashlib.sha256(style.encode()).digest()).decode()
    return (
        f"default-src 'none'; img-src data:; style-src 'sha256-{digest}'; base-uri 'none'; form-action 'none'"
    )


def page_head(title: str, style: str) -> str:
    """The start of a report page, to its head's end: our marker, the policy, `title` (HTML
    already) and the style sheet `style`."""
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
{REPORT_MARKER}
<meta http-equiv="Content-Security-Policy" content="{content_policy(style)}">
<meta name="referrer" content="no-referrer">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{title}</title>
<style>{style}</style>
</head>"""


def thumbnail(
    path: str, points: Sequence[Point] | None = None, outline: Sequence[Point] | None = None
) -> str | None:
    """A data URI of a JPEG thumbnail of the picture at `path`, upright, with `points` (in
    the full picture's pixels) and the box that bounds them drawn on it, or the crop's
    `outline` (four corners); None when the picture cannot be read."""
    try:
        with Image.open(path) as picture:
            width, height = picture.size
            orientation = picture.getexif().get(ExifTags.Base.Orientation, 1)
            points_as_stored = bool(points) and picture.format in _POINTS_AS_STORED
            # Decodes a JPEG at a reduced scale (draft) before the resize: far less work
            # for a large photograph than decoding it whole. The draft is the smallest
            # scale still at least the thumbnail's size (a 20-megapixel photograph: 1/8);
            # other formats ignore it.
            picture.draft(picture.mode, (THUMBNAIL_SIDE, THUMBNAIL_SIDE))
            picture.thumbnail((THUMBNAIL_SIDE, THUMBNAIL_SIDE), reducing_gap=2.0)
            small = on_white(picture)
    except (OSError, ValueError, Image.DecompressionBombError):
        return None
    if points and points_as_stored:
        mark_points(small, points, small.width / width, small.height / height)
    # The thumbnail carries the picture's orientation, so Pillow turns it upright.
    small.getexif()[ExifTags.Base.Orientation] = orientation
    small = ImageOps.exif_transpose(small)
    if orientation in _QUARTER_TURNS:
        width, height = height, width
    if outline:
        mark_outline(small, outline, small.width / width, small.height / height)
    elif points and not points_as_stored:
        mark_points(small, points, small.width / width, small.height / height)
    encoded = io.BytesIO()
    small.save(encoded, "JPEG", quality=THUMBNAIL_QUALITY, optimize=True)
    return "data:image/jpeg;base64," + base64.b64encode(encoded.getvalue()).decode("ascii")


def on_white(picture: Image.Image) -> Image.Image:
    if picture.mode in ("RGBA", "LA", "PA") or "transparency" in picture.info:
        rgba = picture.convert("RGBA")
        white = Image.new("RGB", rgba.size, "white")
        white.paste(rgba, mask=rgba.getchannel("A"))
        return white
    return picture.convert("RGB")


def stroke(draw: ImageDraw.ImageDraw, corners: Sequence[Point]) -> None:
    """A closed line through `corners`, light on dark."""
    closed = list(corners) + list(corners[:1])
    draw.line(closed, fill=DARK_STROKE, width=DARK_WIDTH, joint="curve")
    draw.line(closed, fill=LIGHT_STROKE, width=LIGHT_WIDTH, joint="curve")


def mark_points(picture: Image.Image, points: Iterable[Point], scale_x: float, scale_y: float) -> None:
    draw = ImageDraw.Draw(picture)
    scaled = [(x * scale_x, y * scale_y) for x, y in points]
    xs, ys = [x for x, _ in scaled], [y for _, y in scaled]
    left, top, right, bottom = min(xs) - 5, min(ys) - 5, max(xs) + 5, max(ys) + 5
    stroke(draw, [(left, top), (right, top), (right, bottom), (left, bottom)])
    for x, y in scaled:
        draw.ellipse((x - 4, y - 4, x + 4, y + 4), fill=KEYPOINT_COLOUR, outline=KEYPOINT_EDGE, width=2)


def mark_outline(picture: Image.Image, corners: Iterable[Point], scale_x: float, scale_y: float) -> None:
    stroke(ImageDraw.Draw(picture), [(x * scale_x, y * scale_y) for x, y in corners])


def text(value: object) -> str:
    return html.escape(printable(str(value)), quote=True)


def path_html(path: str) -> str:
    """A path shown so that lines break after its separators, not inside names (a name
    longer than the line alone still wraps)."""
    parts = str(path).split(os.sep)
    pieces = [part + os.sep for part in parts[:-1]] + [parts[-1]]
    return "<wbr>".join(f'<span class="part">{text(piece)}</span>' for piece in pieces if piece)


def file_link(path: str) -> str:
    return html.escape(Path(os.path.abspath(path)).as_uri(), quote=True)


def picture_html(uri: str | None, alt: str) -> str:
    if uri is None:
        return '<p class="missing">no preview: the file could not be read</p>'
    return f'<img src="{uri}" alt="{text(alt)}">'


def score_text(outcome: Outcome, score: float) -> str:
    if outcome.placed_by_pixels:
        return f"grey-level correlation {score:.4f} (placed by its pixels)"
    if outcome.verified:
        return f"{score} consistent match{'' if score == 1 else 'es'}"
    if outcome.command == CROP:
        return f"{score} matched keypoint{'' if score == 1 else 's'}"
    return f"{outcome.score_name} {format_score(outcome, score)}"


def render(
    outcome: Outcome, query_uri: str | None, thumbnail_uris: Iterable[str | None], now: datetime | None = None
) -> str:
    """The page's HTML text for an Outcome and the thumbnails of its query and results."""
    now = now or datetime.now(UTC)
    what = "containing the crop" if outcome.command == CROP else "similar to"
    legend = (
        '<p class="legend">Yellow dots: the matched keypoints; box: the region that bounds them.</p>'
        if outcome.command == CROP
        else ""
    )
    if outcome.verified:
        legend = '<p class="legend">Outline: where the crop lies in the picture.</p>'

    items = []
    for hit, uri in zip(outcome.hits, thumbnail_uris):
        shown = shown_path(hit.path, outcome.folder)
        items.append(
            f'<li data-rank="{hit.rank}">'
            f'<a href="{file_link(hit.path)}" title="{text(os.path.abspath(hit.path))}">'
            f"{picture_html(uri, shown)}</a>"
            f'<span class="rank">#{hit.rank}</span> '
            f'<span class="score">{text(score_text(outcome, hit.score))}</span><br>'
            f'<span class="path">{path_html(shown)}</span></li>'
        )
    count = len(outcome.hits)
    title = f"find-images {text(outcome.command)}: {text(os.path.basename(outcome.query))}"
    return f"""{page_head(title, STYLE)}
<body>
<h1>Pictures {what} <span class="path">{path_html(outcome.query)}</span></h1>
<p class="facts">{count} result{"" if count == 1 else "s"} in
<span class="path">{path_html(os.path.abspath(outcome.folder))}</span>,
found in {outcome.elapsed:.2f} s, {now:%Y-%m-%d %H:%M} UTC</p>
<div class="query"><a href="{file_link(outcome.query)}">{picture_html(query_uri, outcome.query)}</a>
{legend}</div>
<ol class="results">
{chr(10).join(items)}
</ol>
</body>
</html>
"""


def write_report(outcome: Outcome, target: str | os.PathLike[str], workers: int = 4) -> Path:
    """Writes the report of `outcome` to `target`, replacing it whole: a failure leaves no
    half-written page behind."""
    with ThreadPoolExecutor(max_workers=workers) as pool:  # Pillow decodes without the GIL
        query_uri = pool.submit(thumbnail, outcome.query)
        uris = list(pool.map(_hit_thumbnail, outcome.hits))
    return write_page(render(outcome, query_uri.result(), uris), target)


def _hit_thumbnail(hit: Hit) -> str | None:
    return thumbnail(hit.path, hit.points, hit.outline)


def write_page(page: str, target: str | os.PathLike[str]) -> Path:
    """Writes the HTML text `page` to `target`, replacing it whole."""
    target = Path(target)
    descriptor, part = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".tmp")
    try:
        with os.fdopen(descriptor, "w", encoding="utf-8") as stream:
            stream.write(page)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(part, 0o666 & ~umask)
        os.replace(part, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(part)
        raise
    return target
