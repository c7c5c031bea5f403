"""The same folder gives the same candidates, verdicts and groups whatever order its files are
listed in: the approximate (inverted-file) neighbour search is trained on a sample of the rows
and keeps rows in the order they come, so the pictures must reach it in an order of their own."""

import hashlib
import os
import sqlite3

import numpy as np
import pytest
from duplicates_support import copy_of
from testsupport import save_photo

from search_index_tools import scan_duplicates
from search_index_tools.duplicates import finder, grouping, pair_verdicts
from search_index_tools.duplicates.store import SUFFIX

PICTURES = 240


@pytest.fixture(scope="module")
def crowd(tmp_path_factory):
    """Small photo-like pictures in a few folders, every eighth followed by a smaller copy:
    1,800-odd rows, enough for an inverted file of about 45 lists."""
    folder = tmp_path_factory.mktemp("crowd") / "crowd"
    for number in range(PICTURES):
        path = save_photo(folder / f"d{number % 3}" / f"p{number:03d}.png", 64, 48, seed=5000 + number)
        if number % 8 == 0:
            copy_of(path, folder / f"d{number % 3}" / f"p{number:03d}_copy.png", 48, 36)
    return folder


def _reordered(order):
    listing = finder._listing

    def listed(sil, folders):
        paths = listing(sil, folders)
        if order == "reversed":
            return paths[::-1]
        return [paths[i] for i in np.random.default_rng(11).permutation(len(paths))]

    return listed


def _kept_lists(sil):
    """Every candidate list the store keeps, as stored (tokens name path and file)."""
    with sqlite3.connect(str(sil.CACHED_INDEXED) + SUFFIX) as db:
        return {
            (scope, token): (plain, neighbours, transforms)
            for scope, token, plain, neighbours, transforms in db.execute(
                "SELECT scope, token, plain, neighbours, transforms FROM candidate_lists"
            )
        }


@pytest.fixture
def inverted_file(monkeypatch):
    """The approximate search for any folder of more than a few pictures, probing few lists
    (so the answer depends on the training as much as it can), and a count of its uses."""
    monkeypatch.setattr(grouping, "FLAT_LIMIT", 64)
    monkeypatch.setattr(grouping, "IVF_PROBES", 3)
    built = []
    make = grouping._neighbour_index

    def counted(rows, inner_product):
        built.append(len(rows))
        return make(rows, inner_product)

    monkeypatch.setattr(grouping, "_neighbour_index", counted)
    return built


@pytest.mark.parametrize("order", ["reversed", "shuffled"])
def test_the_store_road_keeps_the_same_candidates_in_any_listing_order(
    sil, crowd, tmp_path, monkeypatch, inverted_file, order
):
    walked = scan_duplicates(crowd)
    lists = _kept_lists(sil)
    assert inverted_file and min(inverted_file) > grouping.FLAT_LIMIT
    monkeypatch.setattr(sil, "CACHED_INDEXED", str(tmp_path / "other" / "index.faiss"))
    os.makedirs(tmp_path / "other")
    monkeypatch.setattr(finder, "_listing", _reordered(order))
    listed = scan_duplicates(crowd)
    assert listed.verified == walked.verified
    assert _kept_lists(sil) == lists
    assert listed.groups == walked.groups
    assert len(walked.groups) >= PICTURES // 8 - 2


def _digest(thumbnail):
    return hashlib.blake2b(thumbnail.tobytes(), digest_size=8).digest()


@pytest.mark.parametrize("order", ["reversed", "shuffled"])
def test_a_scan_without_the_store_compares_the_same_pairs_in_any_listing_order(
    sil, crowd, monkeypatch, inverted_file, order
):
    compared = []
    verdicts = pair_verdicts.verdicts

    def noted(thumbnails, sizes, candidates, threshold):
        found = verdicts(thumbnails, sizes, candidates, threshold)
        # Named by content: the pictures' places differ from one listing to the other.
        compared.append(
            {
                (_digest(thumbnails[first]), _digest(thumbnails[second]), mask, bool(same), float(similarity))
                for (first, second, mask, _), same, similarity in zip(candidates, found[0], found[2])
            }
        )
        return found

    monkeypatch.setattr(pair_verdicts, "verdicts", noted)
    walked = scan_duplicates(crowd, use_store=False)
    monkeypatch.setattr(finder, "_listing", _reordered(order))
    listed = scan_duplicates(crowd, use_store=False)
    assert inverted_file and min(inverted_file) > grouping.FLAT_LIMIT
    assert len(compared) == 2 and len(compared[0]) > PICTURES
    assert compared[0] == compared[1]
    assert listed.groups == walked.groups


def test_pairs_kept_by_a_scan_in_another_order_give_the_same_groups(sil, crowd, monkeypatch):
    """A store written while the pictures came in another order (older code kept them in
    listing order): its kept pairs name their pictures the other way round, and the unchanged
    folder still gives the groups, distances and transforms of a fresh scan."""
    fresh = scan_duplicates(crowd, use_store=False)
    usable = finder._usable

    def reversed_usable(identities, entries):
        pictures, left_out = usable(identities, entries)
        return pictures[::-1], left_out

    monkeypatch.setattr(finder, "_usable", reversed_usable)
    written = scan_duplicates(crowd)
    monkeypatch.setattr(finder, "_usable", usable)
    compared = []
    best_transform = pair_verdicts.best_transform

    def counted(*args):
        compared.append(args)
        return best_transform(*args)

    monkeypatch.setattr(pair_verdicts, "best_transform", counted)
    again = scan_duplicates(crowd)
    # Every member's relation comes from its kept pair: nothing is compared again.
    assert (again.searched, again.verified, len(compared)) == (0, 0, 0)
    assert written.groups == again.groups == fresh.groups
