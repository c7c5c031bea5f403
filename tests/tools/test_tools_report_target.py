"""--report never destroys a file it did not write: not the query, not a picture of the
searched folder, not any other file (unless --force); its own earlier report it replaces."""

import os

import pytest
from testsupport import quick_first


def target_for(case, tmp_path, photos, query):
    """(report path, whether --force is given, whether the command may write it)."""
    notes = tmp_path / "notes.txt"
    notes.write_text("my notes")
    link = tmp_path / "link.html"
    os.symlink(query, link)
    stray_html = photos / "garden" / "index.html"
    stray_html.write_text("<!DOCTYPE html><title>my own page</title>")
    cases = {
        "the query": (query, False, False),
        "the query with --force": (query, True, False),
        "a link to the query": (link, True, False),
        "a library picture": (photos / "holiday" / "photo_1.png", False, False),
        "a library picture with --force": (photos / "holiday" / "photo_1.png", True, False),
        "a library page with --force": (stray_html, True, False),
        "another file": (notes, False, False),
        "another file with --force": (notes, True, True),
        "a new file": (tmp_path / "new.html", False, True),
    }
    return cases[case]


@pytest.mark.parametrize("command", quick_first("similar", "crop"))
@pytest.mark.parametrize(
    "case",
    [
        "the query",
        "the query with --force",
        "a link to the query",
        "a library picture",
        "a library picture with --force",
        "a library page with --force",
        "another file",
        "another file with --force",
        "a new file",
    ],
)
def test_report_replaces_only_what_it_may(case, command, photos, crop_of, find_images, tmp_path):
    source = photos / "garden" / "photo_2.jpg"
    query = source if command == "similar" else crop_of(source)
    target, force, allowed = target_for(case, tmp_path, photos, query)
    before = target.read_bytes() if target.exists() else None
    query_before = query.read_bytes()

    result = find_images(command, query, photos, "--report", target, *(["--force"] if force else []))
    if allowed:
        assert result.returncode == 0, result.stderr
        assert target.read_text().startswith("<!DOCTYPE html>")
    else:
        assert result.returncode == 2
        assert result.stdout == ""
        assert len(result.stderr.splitlines()) == 1 and str(target) in result.stderr, result.stderr
        assert target.read_bytes() == before
    assert query.read_bytes() == query_before
    assert [path.name for path in tmp_path.iterdir() if path.name.endswith(".tmp")] == []


@pytest.mark.parametrize("where", ["beside", "in the folder"])
def test_its_own_report_is_replaced(where, photos, find_images, tmp_path):
    report = (tmp_path if where == "beside" else photos) / "found.html"
    first = find_images("similar", photos / "garden" / "photo_0.png", photos, "--report", report)
    assert first.returncode == 0, first.stderr
    second = find_images("similar", photos / "holiday" / "photo_1.png", photos, "--report", report)
    assert second.returncode == 0, second.stderr
    assert "photo_1.png" in report.read_text().split("</h1>")[0]


def test_a_pipe_as_report_is_refused_without_waiting_on_it(photos, find_images, tmp_path):
    pipe = tmp_path / "pipe.html"
    os.mkfifo(pipe)
    result = find_images("similar", photos / "garden" / "photo_0.png", photos, "--report", pipe, timeout=60)
    assert result.returncode == 2 and str(pipe) in result.stderr
