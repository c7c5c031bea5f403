"""A self-contained HTML page of the duplicate groups: each group side by side, the keeper
marked, sizes and dimensions shown, and what the chosen action would do to each picture.

Built like the searches' report (search_index_tools.report): thumbnails embedded as data
URIs, every piece of text escaped, a Content-Security-Policy that allows images from data
URIs only and no script, and the page replaced whole.
"""

from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor
from datetime import UTC, datetime
from pathlib import Path
from typing import TYPE_CHECKING

from ..report import file_link, page_head, picture_html, text, thumbnail, write_page
from .actions import acted_on
from .keeper import is_under
from .output import shown_path

if TYPE_CHECKING:
    from .actions import Plan
    from .finder import DuplicateScan, Member

STYLE = """
body { font: 15px/1.4 system-ui, sans-serif; margin: 24px; color: #222; background: #fafafa; }
h1 { font-size: 20px; margin: 0 0 4px; }
h2 { font-size: 16px; margin: 0 0 8px; }
.facts { color: #555; margin: 0 0 16px; }
.path { font-family: ui-monospace, monospace; word-break: break-all; }
.group { background: #fff; border: 1px solid #ddd; border-radius: 6px; padding: 12px; margin-bottom: 16px; }
.members { list-style: none; padding: 0; margin: 0; display: flex; flex-wrap: wrap; gap: 12px; }
.members li { width: 180px; border: 2px solid #eee; border-radius: 6px; padding: 6px; }
.members li.keep { border-color: #2a8a3a; }
.members img { display: block; max-width: 160px; max-height: 160px; margin: 0 auto 6px; }
.role { font-weight: bold; }
.keep .role { color: #2a8a3a; }
.facts-line { color: #555; }
.action { color: #a04000; }
.missing { color: #a00; font-style: italic; }
""".strip()


def action_text(plan: Plan | None, member: Member, roots: list[str]) -> str:
    if member.reference:
        return "left alone (reference library)"
    if plan is None:
        return "would be left alone (no action chosen)"
    if plan.kind == "move":
        assert plan.target is not None  # a move's plan always names the folder moved to
        return f"moved to {os.path.join(plan.target, _relative(member.path, roots))}"
    if plan.kind == "trash":
        return "sent to the trash"
    return "replaced by a hard link to the keeper"


def _relative(path: str, roots: list[str]) -> str:
    holders = [root for root in roots if is_under(path, root)]
    return os.path.relpath(path, max(holders, key=len)) if holders else os.path.basename(path)


def render(
    scan: DuplicateScan, uris: dict[str, str | None], plan: Plan | None, now: datetime | None = None
) -> str:
    now = now or datetime.now(UTC)
    roots = scan.folders + scan.references
    sections = []
    for number, group in enumerate(scan.groups, 1):
        items = []
        for position, member in enumerate(group.members):
            shown = shown_path(member.path, roots)
            role = "keep" if position == 0 else "duplicate"
            what = f"kept: {group.reason}" if position == 0 else action_text(plan, member, roots)
            items.append(
                f'<li class="{role}" data-role="{role}"><a href="{file_link(member.path)}" '
                f'title="{text(member.path)}">{picture_html(uris.get(member.path), shown)}</a>'
                f'<span class="role">{"keep" if position == 0 else "duplicate"}</span><br>'
                f'<span class="facts-line">{member.width} × {member.height}, {member.bytes:,} bytes'
                f"{'' if position == 0 else f', distance {member.distance:.4f}, {text(member.transform)}'}"
                "</span><br>"
                f'<span class="action">{text(what)}</span><br>'
                f'<span class="path">{text(shown)}</span></li>'
            )
        sections.append(
            f'<section class="group" data-group="{number}"><h2>Group {number}: '
            f'{len(group.members)} pictures</h2><ul class="members">{"".join(items)}</ul></section>'
        )
    count = len(scan.groups)
    acting = len(acted_on(scan))
    folders = ", ".join(f'<span class="path">{text(folder)}</span>' for folder in scan.folders)
    if plan is None:
        plan_text = "No action was chosen: nothing on disk changes."
    else:
        plan_text = (
            f"Action: {acting} picture{'' if acting == 1 else 's'} "
            + {
                "move": f"to move under {text(plan.target)}",
                "trash": "to send to the trash",
                "hardlink": "to replace by hard links to their keepers",
            }[plan.kind]
            + "."
        )
    title = f"find-images duplicates: {count} group{'' if count == 1 else 's'}"
    return f"""{page_head(title, STYLE)}
<body>
<h1>{count} group{"" if count == 1 else "s"} of the same picture</h1>
<p class="facts">In {folders}, found in {scan.elapsed:.2f} s, {now:%Y-%m-%d %H:%M} UTC. {plan_text}</p>
{chr(10).join(sections)}
</body>
</html>
"""


def write_duplicates_report(
    scan: DuplicateScan, target: str | os.PathLike[str], plan: Plan | None = None, workers: int = 4
) -> Path:
    """Writes the report of `scan` to `target`, replacing it whole."""
    paths = [member.path for group in scan.groups for member in group.members]
    with ThreadPoolExecutor(max_workers=workers) as pool:  # Pillow decodes without the GIL
        uris = dict(zip(paths, pool.map(thumbnail, paths)))
    return write_page(render(scan, uris, plan), target)
