"""Decisions kept in the duplicate store: a scan that uses them finds exactly the groups a scan
without them finds, after files were changed, removed or added, for other thresholds and other
sets of folders, and it decides again only what changed."""

import os
import shutil
import sqlite3

import numpy as np
import pytest
from duplicates_support import EDITS, copy_of, distractors, original, photos_with_copies, write_edit
from testsupport import quick_first, save_photo

from search_index_tools import scan_duplicates
from search_index_tools.duplicates import grouping
from search_index_tools.duplicates.store import SUFFIX, PictureStore


@pytest.fixture(scope="module")
def library_template(tmp_path_factory):
    """An original with its edits, distractors, and photographs alone or with a copy: about
    fifty pictures, enough that each picture's neighbour list holds only part of the rows."""
    folder = tmp_path_factory.mktemp("library") / "library"
    picture = original()
    picture.save(folder.parent / "original.png")
    shutil.move(folder.parent / "original.png", _made(folder) / "original.png")
    for name in list(EDITS)[::2]:
        write_edit(folder / "edits", name, picture)
    distractors(folder / "others")
    photos_with_copies(folder, 16, first_seed=200, copy_every=4, copy_suffix="_small")
    return folder


def _made(folder):
    folder.mkdir(parents=True, exist_ok=True)
    return folder


@pytest.fixture
def library(library_template, tmp_path):
    folder = tmp_path / "library"
    shutil.copytree(library_template, folder)
    return folder


def _changed(folder):
    """p01 rewritten as a copy of p02 (a changed file joins a group)."""
    copy_of(folder / "photos" / "p02.jpg", folder / "photos" / "p01.jpg", 240, 180, quality=80)


def _removed(folder):
    """A group member and a picture that was alone removed."""
    os.remove(folder / "copies" / "p04_small.png")
    os.remove(folder / "photos" / "p03.jpg")


def _added(folder):
    """A mirrored copy of a photograph added, and a new picture alone."""
    copy_of(folder / "photos" / "p05.jpg", folder / "added" / "p05_mirrored.png", 200, 150, mirrored=True)
    save_photo(folder / "added" / "new.png", 240, 180, seed=999)


def _all_three(folder):
    _changed(folder)
    _removed(folder)
    _added(folder)


def _neighbour_lists(sil):
    """{picture token: {(neighbour token, transform)}} of the pictures with structure, as the
    store keeps them: the neighbours close enough to be candidates (further down a list,
    rows of equal scores, such as those of a picture with a featureless centre, may be kept
    in any order)."""
    with sqlite3.connect(str(sil.CACHED_INDEXED) + SUFFIX) as db:
        rows = db.execute("SELECT token, neighbours, transforms, scores FROM candidate_lists WHERE plain = 0")
        return {
            token: {
                (int(neighbour), transform)
                for neighbour, transform, score in zip(
                    np.frombuffer(neighbours, "<i8"), transforms, np.frombuffer(scores, "<f4")
                )
                if score >= grouping.COARSE_MINIMUM
            }
            for token, neighbours, transforms, scores in rows
        }


@pytest.mark.parametrize(
    "change", [_changed, _removed, _added, _all_three], ids=lambda change: change.__name__
)
def test_kept_decisions_give_the_groups_of_a_scan_without_them(sil, library, change, tmp_path, monkeypatch):
    first = scan_duplicates(library)
    assert first.groups == scan_duplicates(library, use_store=False).groups
    change(library)
    kept = scan_duplicates(library)
    fresh = scan_duplicates(library, use_store=False)
    assert kept.groups == fresh.groups
    # The neighbour lists brought up to date are those a first scan makes.
    updated = _neighbour_lists(sil)
    monkeypatch.setattr(sil, "CACHED_INDEXED", str(tmp_path / "other" / "index.faiss"))
    os.makedirs(tmp_path / "other")
    assert scan_duplicates(library).groups == fresh.groups
    assert updated == _neighbour_lists(sil)
    # Only what changed was decided again: new and changed pictures are searched among all
    # rows, the others only among the new rows; a list that lost rows to pictures gone takes
    # the spare rows behind them.
    pictures = kept.read + kept.from_store - len(kept.left_out)
    assert kept.searched < pictures / 4
    assert kept.verified < first.verified / 4
    if change in (_changed, _added, _removed):
        assert kept.searched == kept.read


def test_the_changes_were_seen(library):
    """The scenarios above change the groups (so equal groups are no accident of a stale store)."""

    def names(scan):
        return [sorted(os.path.basename(path) for path in group.paths) for group in scan.groups]

    before = names(scan_duplicates(library))
    assert ["p04.jpg", "p04_small.png"] in before
    assert not any("p01.jpg" in group or "p05.jpg" in group for group in before)
    _all_three(library)
    after = names(scan_duplicates(library))
    assert ["p01.jpg", "p02.jpg"] in after and ["p05.jpg", "p05_mirrored.png"] in after
    assert not any("p04_small.png" in group for group in after)


def test_an_unchanged_folder_decides_nothing_and_loads_no_thumbnail(library, monkeypatch):
    first = scan_duplicates(library)
    assert first.searched > 0 and first.verified > 0

    def no_thumbnails(self, entries):
        raise AssertionError("an unchanged folder loaded thumbnails")

    monkeypatch.setattr(PictureStore, "thumbnails", no_thumbnails)
    again = scan_duplicates(library)
    assert (again.read, again.searched, again.verified) == (0, 0, 0)
    assert again.groups == first.groups


@pytest.mark.parametrize("similarity", quick_first("strict", "loose", 0.5))
def test_another_threshold_is_decided_again(library, similarity):
    scan_duplicates(library)
    kept = scan_duplicates(library, similarity=similarity)
    assert kept.verified > 0  # verdicts made at another threshold are not reused
    assert kept.groups == scan_duplicates(library, similarity=similarity, use_store=False).groups


def test_another_comparison_version_decides_everything_again(library, monkeypatch):
    first = scan_duplicates(library)
    monkeypatch.setattr(grouping, "COMPARISON_VERSION", grouping.COMPARISON_VERSION + 1)
    again = scan_duplicates(library)
    assert again.read == 0
    assert (again.searched, again.verified) == (first.searched, first.verified)
    assert again.groups == first.groups


@pytest.mark.parametrize(
    "setting, value",
    [("IVF_PROBES", 2), ("IVF_LISTS_PER_ROOT", 0.5), ("NEIGHBOURS", 12), ("FLAT_LIMIT", 10**6)],
)
def test_a_changed_search_searches_again_and_keeps_the_verdicts(sil, library, monkeypatch, setting, value):
    """Candidate lists found with other search settings are not the lists this search would
    find: every picture is searched again, the groups are those of a scan without the store
    under the new settings, the old lists leave the store, and verdicts on pairs the old
    search proposed too are not made again."""
    monkeypatch.setattr(grouping, "FLAT_LIMIT", 64)  # the inverted file, on this small folder
    monkeypatch.setattr(grouping, "IVF_PROBES", 3)
    first = scan_duplicates(library)
    assert scan_duplicates(library).searched == 0
    monkeypatch.setattr(grouping, setting, value)
    again = scan_duplicates(library)
    assert again.read == 0 and again.searched == first.searched
    assert again.verified < first.verified
    assert again.groups == scan_duplicates(library, use_store=False).groups
    with sqlite3.connect(str(sil.CACHED_INDEXED) + SUFFIX) as db:
        versions = {row[0] for row in db.execute("SELECT DISTINCT version FROM candidate_lists")}
    assert versions == {grouping.search_key()}
    assert scan_duplicates(library).searched == 0


def test_other_sets_of_folders_keep_their_own_decisions(library):
    photos, copies = library / "photos", library / "copies"
    alone = scan_duplicates(photos)
    together = scan_duplicates([photos, copies])
    assert together.groups == scan_duplicates([photos, copies], use_store=False).groups
    assert len(together.groups) == 4 and alone.groups == []
    # Each set's last result still answers it, in any order of the folders.
    assert scan_duplicates(photos).verified == 0
    again = scan_duplicates([copies, photos])
    assert again.verified == 0 and again.searched == 0 and again.groups == together.groups


@pytest.mark.parametrize(
    "table, column, value",
    [
        ("candidate_lists", "neighbours", "x'0102030405'"),
        ("candidate_lists", "vector", "x'0102030405'"),
        ("scope_results", "pairs", "x'0102030405'"),
        ("verdicts", "transform", "99"),
        ("verdicts", "similarity", "'x'"),
    ],
)
def test_damaged_kept_decisions_are_decided_again(sil, library, table, column, value):
    first = scan_duplicates(library)
    _added(library)
    with sqlite3.connect(str(sil.CACHED_INDEXED) + SUFFIX) as db:
        db.execute(f"UPDATE {table} SET {column} = {value}")
    kept = scan_duplicates(library)
    assert kept.groups == scan_duplicates(library, use_store=False).groups
    assert len(kept.groups) == len(first.groups) + 1


@pytest.mark.parametrize("road", ["threads", "pool"])
def test_comparisons_made_apart_give_the_same_groups(library, start_method, monkeypatch, road):
    """The comparisons run on threads of the scan while the module's pool is one of this
    machine's, in that pool otherwise (a Ray cluster): the same groups either way."""
    from search_index_tools.duplicates import kept_grouping, local_comparisons

    monkeypatch.setattr(kept_grouping, "POOL_MINIMUM", 1)
    monkeypatch.setattr(kept_grouping, "VERIFY_SLICE", 7)  # several slices, the last one short
    monkeypatch.setattr(kept_grouping, "PAIRS_PER_ITEM", 3)  # several items per slice, one short
    monkeypatch.setattr(local_comparisons, "PAIRS_PER_THREAD_ITEM", 3)
    on_threads = []
    map_on_threads = local_comparisons.map_on_threads

    def counted(function, items, *rest):
        on_threads.append(len(items))
        return map_on_threads(function, items, *rest)

    monkeypatch.setattr(local_comparisons, "map_on_threads", counted)
    if road == "pool":
        monkeypatch.setattr(local_comparisons, "on_this_machine", lambda pool: False)
    apart = scan_duplicates(library)
    assert apart.verified > 7
    assert (on_threads != []) == (road == "threads")
    assert apart.groups == scan_duplicates(library, use_store=False).groups


def test_lists_kept_under_a_scope_s_whole_name_are_replaced(sil, library):
    """Lists are kept under a short name of their scope, each row on its own page share; the
    rows an older version kept under the scope's whole name go at the next scan, and the
    decisions kept beside them still serve."""
    first = scan_duplicates(library)
    with sqlite3.connect(str(sil.CACHED_INDEXED) + SUFFIX) as db:
        scopes = {row[0] for row in db.execute("SELECT DISTINCT scope FROM candidate_lists")}
        assert len(scopes) == 2 and all(len(scope) < 64 for scope in scopes)
        # As the older version wrote them: every list under the whole name of the folders.
        db.execute(
            "UPDATE candidate_lists SET scope = ? WHERE scope = ?",
            (str(library), min(scopes)),
        )
        db.execute("DELETE FROM scope_results")
    again = scan_duplicates(library)
    assert again.groups == first.groups
    assert again.verified == 0  # the verdicts were kept
    with sqlite3.connect(str(sil.CACHED_INDEXED) + SUFFIX) as db:
        assert {row[0] for row in db.execute("SELECT DISTINCT scope FROM candidate_lists")} == scopes
