"""The duplicate finder's groups: every edit of a picture found with the transform it shows,
pictures that are only alike in being flat, dark, mostly white or of one size left apart,
reference folders, keeper rules, the store, and the command's JSON and exit statuses."""

import io
import json
import multiprocessing
import os
import sqlite3

import numpy as np
import pytest
from duplicates_support import EDITS, TEXTURE_EDITS, copy_of, distractors, original, texture, write_edit
from PIL import Image
from testsupport import save_photo

from search_index_tools import find_duplicates, scan_duplicates
from search_index_tools.duplicates import descriptor, finder, grouping, parse_similarity
from search_index_tools.duplicates.reading import grey_thumbnail
from search_index_tools.duplicates.store import SUFFIX


@pytest.fixture(scope="module")
def edited_folder(tmp_path_factory):
    """An original, a copy per edit and the distractors, scanned once (without a store)."""
    folder = tmp_path_factory.mktemp("edited")
    picture = original()
    picture.save(folder / "original.png")
    for name in EDITS:
        write_edit(folder / "edits", name, picture)
    made = distractors(folder / "others")
    return folder, made, scan_duplicates(folder, use_store=False)


def group_of(scan, path):
    return next((group for group in scan.groups if str(path) in group.paths), None)


@pytest.mark.parametrize("edit", sorted(EDITS))
def test_each_edit_is_found_with_its_transform(edited_folder, edit):
    folder, _, scan = edited_folder
    group = group_of(scan, folder / "original.png")
    assert group is not None, "the original was grouped with nothing"
    path = str(folder / "edits" / f"{edit}{EDITS[edit][0]}")
    assert path in group.paths
    members = {member.path: member for member in group.members}
    # Transforms are relative to the keeper: compare the edit's with the original's.
    seen_edit = members[path].transform.replace(", cropped", "").replace("cropped", "none")
    seen_original = (
        members[str(folder / "original.png")].transform.replace(", cropped", "").replace("cropped", "none")
    )
    assert (seen_original, seen_edit) in _consistent(EDITS[edit][2])
    if "cropped" in edit and group.keep != path:
        assert "cropped" in members[path].transform


def _consistent(expected):
    """(original's transform, edit's transform) pairs, relative to a keeper, that say the edit
    is the original turned as `expected`."""
    from search_index_tools.duplicates.descriptor import TRANSFORM_NAMES, compose

    index = TRANSFORM_NAMES.index(expected)
    return {(TRANSFORM_NAMES[base], TRANSFORM_NAMES[compose(base, index)]) for base in range(8)}


@pytest.fixture(scope="module")
def textured_folder(tmp_path_factory):
    """A finely detailed original, its cropped copies, and other pictures of the same kind
    of detail and size, scanned once (without a store)."""
    folder = tmp_path_factory.mktemp("textured")
    picture = texture(seed=7)
    picture.save(folder / "original.png")
    for name in TEXTURE_EDITS:
        write_edit(folder / "edits", name, picture, TEXTURE_EDITS)
    others = []
    for seed in (8, 9, 10):
        others.append(folder / "others" / f"texture_{seed}.png")
        others[-1].parent.mkdir(exist_ok=True)
        texture(seed=seed).save(others[-1])
    return folder, others, scan_duplicates(folder, use_store=False)


@pytest.mark.parametrize("edit", sorted(TEXTURE_EDITS))
def test_crops_of_fine_detail_are_found_with_their_transform(textured_folder, edit):
    folder, _, scan = textured_folder
    group = group_of(scan, folder / "original.png")
    path = str(folder / "edits" / f"{edit}{TEXTURE_EDITS[edit][0]}")
    assert group is not None and path in group.paths, f"{edit} was not grouped with the original"
    members = {member.path: member for member in group.members}
    seen_edit = _turn_only(members[path].transform)
    seen_original = _turn_only(members[str(folder / "original.png")].transform)
    assert (seen_original, seen_edit) in _consistent(TEXTURE_EDITS[edit][2])


def _turn_only(transform):
    return transform.replace(", cropped", "").replace("cropped", "none")


def test_other_pictures_of_the_same_fine_detail_are_left_alone(textured_folder):
    folder, others, scan = textured_folder
    assert [sorted(group.paths) for group in scan.groups] == [
        sorted(
            [str(folder / "original.png")]
            + [str(folder / "edits" / f"{name}{suffix}") for name, (suffix, _, _) in TEXTURE_EDITS.items()]
        )
    ]
    assert all(group_of(scan, path) is None for path in others)


@pytest.mark.parametrize("kind", ["flat", "dark", "mostly_white", "same_size"])
def test_distractors_are_left_alone(edited_folder, kind):
    _, made, scan = edited_folder
    for path in made[kind]:
        assert group_of(scan, path) is None, f"{path.name} was grouped: {group_of(scan, path).paths}"


def test_only_the_edits_are_grouped(edited_folder):
    folder, _, scan = edited_folder
    assert len(scan.groups) == 1
    assert len(scan.groups[0].paths) == 1 + len(EDITS)
    assert scan.groups[0].members[0].distance == 0.0


def test_the_same_flat_picture_twice_is_one_group_and_other_flats_are_not(tmp_path):
    for name, value in [("white_a", 255), ("white_b", 255), ("grey", 128), ("light", 245)]:
        Image.new("L", (200, 150), value).save(tmp_path / f"{name}.png")
    groups = find_duplicates(tmp_path, use_store=False)
    assert [sorted(os.path.basename(p) for p in group.paths) for group in groups] == [
        ["white_a.png", "white_b.png"]
    ]


@pytest.mark.parametrize(
    "rule, kept",
    [
        ("pixels", "large.jpg"),
        ("largest", "noisy.png"),
        ("oldest", "old.png"),
        ("newest", "new.png"),
        ("under:{tmp}/keepers", "keepers/small.png"),
    ],
)
def test_keeper_rules(tmp_path, rule, kept):
    save_photo(tmp_path / "large.jpg", 480, 360, seed=8, quality=70)
    copy_of(tmp_path / "large.jpg", tmp_path / "old.png", 240, 180)
    copy_of(tmp_path / "large.jpg", tmp_path / "new.png", 240, 180)
    copy_of(tmp_path / "large.jpg", tmp_path / "keepers" / "small.png", 160, 120)
    copy_of(tmp_path / "large.jpg", tmp_path / "noisy.png", 300, 225, compress_level=0)  # largest file
    for age, name in enumerate(["old.png", "large.jpg", "noisy.png", "keepers/small.png", "new.png"]):
        os.utime(tmp_path / name, ns=(10**18 + age * 10**9,) * 2)
    groups = find_duplicates(tmp_path, keep=rule.format(tmp=tmp_path), use_store=False)
    assert len(groups) == 1 and len(groups[0].paths) == 5
    assert groups[0].keep == str(tmp_path / kept)


def test_reference_folders(tmp_path):
    library, new = tmp_path / "library", tmp_path / "new"
    save_photo(library / "a.png", 320, 240, seed=1)
    copy_of(library / "a.png", library / "a_copy.jpg", 160, 120)  # already a duplicate inside the library
    save_photo(library / "b.png", 320, 240, seed=2)
    copy_of(library / "b.png", new / "b_small.png", 640, 480)  # more pixels than the library's copy
    save_photo(new / "c.png", 320, 240, seed=4)
    groups = find_duplicates(new, references=[library], use_store=False)
    assert [sorted(group.paths) for group in groups] == [
        sorted([str(library / "b.png"), str(new / "b_small.png")])
    ]
    # The keeper comes from the library, and the library's picture is marked as such.
    assert groups[0].keep == str(library / "b.png") and groups[0].members[0].reference


def test_a_folder_read_before_reads_no_picture(sil, tmp_path):
    for seed in range(4):
        save_photo(tmp_path / "photos" / f"p{seed}.png", 200, 150, seed=seed)
    copy_of(tmp_path / "photos" / "p0.png", tmp_path / "photos" / "p0_copy.jpg", 100, 75)
    first = scan_duplicates(tmp_path / "photos")
    second = scan_duplicates(tmp_path / "photos")
    assert (first.read, first.from_store) == (5, 0)
    assert (second.read, second.from_store) == (0, 5)
    assert [g.paths for g in second.groups] == [g.paths for g in first.groups]
    copy_of(tmp_path / "photos" / "p0.png", tmp_path / "photos" / "p1.png", 200, 150)  # now a copy of p0
    third = scan_duplicates(tmp_path / "photos")
    assert (third.read, third.from_store) == (1, 4)
    assert len(third.groups[0].paths) == 3


def test_a_damaged_store_is_replaced(sil, tmp_path):
    store = str(sil.CACHED_INDEXED) + SUFFIX
    with open(store, "wb") as damaged:
        damaged.write(b"not a database" * 100)
    save_photo(tmp_path / "p" / "a.png", 200, 150, seed=1)
    copy_of(tmp_path / "p" / "a.png", tmp_path / "p" / "b.jpg", 100, 75)
    assert len(scan_duplicates(tmp_path / "p").groups) == 1
    assert sqlite3.connect(store).execute("SELECT count(*) FROM pictures").fetchone() == (2,)


def pixel_limit_folder(folder):
    """A 400 x 300 picture, its half-size copy and two others: a limit of 200 x 150 pixels
    leaves the first out."""
    large = save_photo(folder / "large.png", 400, 300, seed=1)
    small = copy_of(large, folder / "small.jpg", 200, 150)
    for seed in (2, 3):
        save_photo(folder / f"other_{seed}.png", 200, 150, seed=seed)
    return sorted([str(large), str(small)])


def test_a_picture_refused_under_a_lowered_pixel_limit_is_read_again_under_the_default(
    sil, tmp_path, monkeypatch
):
    # The store keeps a refused picture as no picture; that verdict holds for its limit only.
    pair = pixel_limit_folder(tmp_path / "p")
    default = Image.MAX_IMAGE_PIXELS
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 200 * 150)
    assert scan_duplicates(tmp_path / "p").groups == []
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", default)
    assert [sorted(group.paths) for group in scan_duplicates(tmp_path / "p").groups] == [pair]


@pytest.mark.parametrize("method", ["spawn", "forkserver"])
def test_workers_started_afresh_keep_the_callers_pixel_limit(sil, tmp_path, monkeypatch, method):
    pair = pixel_limit_folder(tmp_path / "p")
    monkeypatch.setattr(finder, "IN_PROCESS_LIMIT", 0)
    monkeypatch.setattr(sil, "Pool", multiprocessing.get_context(method).Pool)
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 200 * 150)
    assert scan_duplicates(tmp_path / "p", use_store=False).groups == []
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 400 * 300)
    assert [sorted(group.paths) for group in scan_duplicates(tmp_path / "p", use_store=False).groups] == [
        pair
    ]


@pytest.mark.parametrize("value, expected", [("normal", 0.93), ("strict", 0.95), ("0.9", 0.9), (0.5, 0.5)])
def test_similarity_levels(value, expected):
    assert parse_similarity(value) == expected


@pytest.mark.parametrize("value", ["", "sloppy", "0", "1.5", "nan", None])
def test_bad_similarity_is_named(value):
    with pytest.raises(ValueError, match="similarity"):
        parse_similarity(value)


def test_json_shape(find_images, tmp_path):
    folder = tmp_path / "photos"
    save_photo(folder / "a.png", 320, 240, seed=1)
    copy_of(folder / "a.png", folder / "sub" / "a_small.jpg", 160, 120)
    save_photo(folder / "b.png", 320, 240, seed=2)
    result = find_images("duplicates", folder, "--json")
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    assert set(document) == {"command", "folders", "groups", "elapsed_seconds"}
    assert document["command"] == "duplicates" and document["folders"] == [str(folder)]
    assert isinstance(document["elapsed_seconds"], float)
    [group] = document["groups"]
    assert set(group) == {"keep", "paths", "members"}
    assert group["keep"] == str(folder / "a.png")
    assert group["paths"] == [str(folder / "a.png"), str(folder / "sub" / "a_small.jpg")]
    assert [set(member) for member in group["members"]] == [
        {"path", "distance", "width", "height", "bytes", "transform"}
    ] * 2
    keeper, copy = group["members"]
    assert (keeper["path"], keeper["width"], keeper["height"], keeper["distance"]) == (
        group["keep"],
        320,
        240,
        0.0,
    )
    assert (copy["width"], copy["height"], copy["bytes"]) == (
        160,
        120,
        os.path.getsize(folder / "sub" / "a_small.jpg"),
    )
    assert isinstance(copy["distance"], float) and 0 <= copy["distance"] < 0.2 and copy["transform"] == "none"


def test_text_listing_and_exit_statuses(find_images, tmp_path):
    folder = tmp_path / "photos"
    save_photo(folder / "a.png", 320, 240, seed=1)
    save_photo(folder / "b.png", 320, 240, seed=2)
    alone = find_images("duplicates", folder)
    assert (alone.returncode, alone.stdout) == (1, "")
    copy_of(folder / "a.png", folder / "a_mirror.png", 320, 240, mirrored=True)
    found = find_images("duplicates", folder)
    assert found.returncode == 0, found.stderr
    assert "group 1: keep " in found.stdout and "mirrored" in found.stdout and "a_mirror.png" in found.stdout


@pytest.mark.parametrize(
    "arguments, named",
    [
        (["{tmp}/missing"], "folder not found"),
        (["{tmp}/photos", "--similarity", "sloppy"], "--similarity"),
        (["{tmp}/photos", "--keep", "prettiest"], "--keep"),
        (["{tmp}/photos", "--reference", "{tmp}/nowhere"], "folder not found"),
        (["{tmp}/photos", "--move-to", "{tmp}/photos/dupes"], "--move-to"),
        (["{tmp}/photos", "--trash", "--hardlink"], "not allowed with"),
    ],
)
def test_bad_input_is_one_line(find_images, tmp_path, arguments, named):
    save_photo(tmp_path / "photos" / "a.png", 100, 75, seed=1)
    result = find_images("duplicates", *[argument.format(tmp=tmp_path) for argument in arguments])
    assert result.returncode == 2
    assert named in result.stderr and len(result.stderr.strip().splitlines()) == 1


@pytest.mark.parametrize("proposed", [{0}, {2, 4}, set()])
def test_verification_tries_the_other_turns_when_the_proposed_ones_fail(monkeypatch, proposed):
    """The neighbour search may rank the right turn of a copy below its limit (nearly
    symmetric pictures) and propose only wrong ones: the pair is still found, turned right."""
    picture = original()
    turned = picture.transpose(Image.Transpose.ROTATE_270)  # turned 90 clockwise
    reads = []
    for image in (picture, turned):
        data = io.BytesIO()
        image.save(data, "PNG")
        reads.append(grey_thumbnail(data.getvalue()))
    thumbnails = descriptor.thumbnails_array([read[2] for read in reads])
    sizes = [(read[0], read[1]) for read in reads]
    monkeypatch.setattr(
        grouping,
        "candidate_pairs",
        lambda vectors, *args, **kw: {(0, 1): set(proposed)} if len(vectors) == 2 else {},
    )
    [pair] = grouping.verified_pairs(thumbnails, sizes, np.zeros(2, dtype=bool), 0.93)
    # The copy turned back a quarter turn anticlockwise is the original.
    assert (pair.first, pair.second) == (0, 1)
    assert descriptor.TRANSFORM_NAMES[pair.transform] == "turned 270"
