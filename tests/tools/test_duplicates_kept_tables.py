"""What a first scan keeps in the duplicate store does not depend on how its work was done: the
comparisons on threads sharing the scan's memo (their thumbnails handed over as arrays), in
the module's pool (as bytes), or one slice after another in the scanning process, and the rows
written in the order of the tables' keys or as they came. Every table must be the same row for
row, every similarity and score to the bit, on a folder with every edit of a photograph."""

import os
import sqlite3

import pytest
from duplicates_support import (
    EDITS,
    TEXTURE_EDITS,
    distractors,
    original,
    photos_with_copies,
    texture,
    write_edit,
)

from search_index_tools import scan_duplicates
from search_index_tools.duplicates import kept_decisions, kept_grouping, local_comparisons
from search_index_tools.duplicates.store import SUFFIX

TABLES = ("pictures", "candidate_lists", "verdicts", "relations", "scope_results")


@pytest.fixture(scope="module")
def library(tmp_path_factory):
    """A photograph and a finely detailed picture with every edit, distractors, and photographs
    alone or with a smaller copy. Scans only read it."""
    folder = tmp_path_factory.mktemp("tables") / "library"
    for number, (picture, edits) in enumerate([(original(), EDITS), (texture(5), TEXTURE_EDITS)]):
        folder.mkdir(parents=True, exist_ok=True)
        picture.save(folder / f"original_{number}.png")
        for name in edits:
            write_edit(folder / f"edits_{number}", name, picture, edits)
    distractors(folder / "others")
    photos_with_copies(folder, 8, first_seed=300, copy_every=2)
    return folder


def _tables(sil):
    """Every row of every table the scan keeps, in one order."""
    with sqlite3.connect(str(sil.CACHED_INDEXED) + SUFFIX) as db:
        return {table: sorted(db.execute(f"SELECT * FROM {table}").fetchall(), key=repr) for table in TABLES}


def _forget(sil):
    for suffix in ("", "-wal", "-shm"):
        path = str(sil.CACHED_INDEXED) + SUFFIX + suffix
        if os.path.exists(path):
            os.remove(path)


def _small_slices(monkeypatch):
    """Several slices and items, the last ones short, so that the items' thumbnails are
    gathered and handed over many times."""
    monkeypatch.setattr(kept_grouping, "POOL_MINIMUM", 1)
    monkeypatch.setattr(kept_grouping, "VERIFY_SLICE", 7)
    monkeypatch.setattr(kept_grouping, "PAIRS_PER_ITEM", 3)
    monkeypatch.setattr(local_comparisons, "PAIRS_PER_THREAD_ITEM", 3)


def _threads(monkeypatch):
    _small_slices(monkeypatch)


def _pool(monkeypatch):
    _small_slices(monkeypatch)
    monkeypatch.setattr(local_comparisons, "on_this_machine", lambda pool: False)


def _writes_as_they_came(monkeypatch):
    monkeypatch.setattr(kept_decisions, "in_key_order", lambda rows, width=2: list(rows))


@pytest.mark.parametrize("road", [_threads, _pool, _writes_as_they_came], ids=lambda road: road.__name__)
def test_the_kept_tables_are_the_same_whichever_road(sil, library, road, monkeypatch):
    with monkeypatch.context() as plainest:
        # One slice after another in this process, no memo, thumbnails as bytes.
        plainest.setattr(local_comparisons, "on_this_machine", lambda pool: False)
        plainest.setattr(kept_grouping, "POOL_MINIMUM", 10**9)
        expected_scan = scan_duplicates(library)
    expected = _tables(sil)
    _forget(sil)
    road(monkeypatch)
    scan = scan_duplicates(library)
    assert scan.read == expected_scan.read > 0
    assert scan.verified == expected_scan.verified > 20
    found = _tables(sil)
    for table in TABLES:
        assert found[table] == expected[table], table
    assert scan.groups == expected_scan.groups
    assert len(scan.groups) >= 3 and any(row[4] for row in found["verdicts"])
