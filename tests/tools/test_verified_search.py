"""Verified cropped search: finding the picture a crop came from, and nothing for a crop
from elsewhere; the feature store's roads give the same answers and survive damage."""

import dataclasses
import multiprocessing
import os
import sqlite3
from pathlib import Path

import cv2
import numpy as np
import pytest
from PIL import Image
from testsupport import START_METHODS, TESTS_DIR, quick_first, run_python
from verified_support import (
    disk_picture,
    dying_reader,
    smooth_picture,
    straight_edge_picture,
    textured_photo,
    turned,
    write,
)

from search_index_tools.verified import _verified_match
from search_index_tools.verified import pixels as verified_pixels
from search_index_tools.verified import placement as verified_placement
from search_index_tools.verified import search as verified_search
from search_index_tools.verified.search import STORE_SUFFIX, verified_cropped_matches, verified_cropped_search

CROP_BOX = (150, 100, 230, 170)  # left, top, width, height in the 640 x 480 source


def make_folder(root, seeds, size=(640, 480)):
    """A folder of textured pictures, one per seed, in two sub-folders."""
    return {
        seed: write(root / f"sub{seed % 2}" / f"picture_{seed}.jpg", textured_photo(*size, seed))
        for seed in seeds
    }


def cut(pixels, path):
    left, top, width, height = CROP_BOX
    return write(path, pixels[top : top + height, left : left + width])


def crop_outline(matrix):
    """The corners of CROP_BOX carried into the turned picture by `matrix` (2 x 3)."""
    left, top, width, height = CROP_BOX
    box = [[left, top, 1], [left + width, top, 1], [left + width, top + height, 1], [left, top + height, 1]]
    return np.array(box, np.float64) @ matrix.T


def store_file():
    import search_index_lib

    return search_index_lib.CACHED_INDEXED + STORE_SUFFIX


def stored_paths():
    with sqlite3.connect(store_file()) as db:
        return {os.fsdecode(row[0]) for row in db.execute("SELECT path FROM picture_features")}


@pytest.mark.slow
@pytest.mark.parametrize("degrees, scale", [(0, 1.0), (4, 0.7), (-7, 0.7), (3, 1.3)])
def test_crop_is_found_where_it_lies_in_a_turned_and_scaled_picture(tmp_path, degrees, scale):
    folder = tmp_path / "pictures"
    make_folder(folder, [1, 2, 3, 4])
    source = textured_photo(640, 480, 99)
    crop = cut(source, tmp_path / "crop.png")
    picture, matrix = turned(source, degrees, scale)
    target = write(folder / "sub1" / "target.jpg", picture)

    matches = verified_cropped_matches(crop, str(folder))

    assert [match.path for match in matches] == [target]
    assert np.abs(np.array(matches[0].corners) - crop_outline(matrix)).max() < 4
    assert matches[0].score >= verified_search.MIN_INLIERS


@pytest.mark.slow
@pytest.mark.parametrize("foreign_seed", [50, 51, 52])
def test_crop_from_a_picture_not_in_the_folder_gives_nothing(tmp_path, foreign_seed):
    folder = tmp_path / "pictures"
    make_folder(folder, range(6))
    crop = cut(textured_photo(640, 480, foreign_seed), tmp_path / "crop.png")
    assert verified_cropped_search(crop, str(folder)) == []


@pytest.mark.parametrize(
    "shift, inside",
    [
        ((100, 60), True),
        ((210, 60), True),  # past the right edge by less than the margin
        ((240, 60), False),  # centre inside, right half outside
        ((100, -30), False),  # centre inside, top outside
        ((-40, 100), False),
    ],
)
def test_a_fit_whose_outline_leaves_the_picture_is_no_result(shift, inside):
    # Every crop point matches its own picture point exactly, so only the outline decides.
    rng = np.random.default_rng(5)
    crop_points = rng.uniform((0, 0), (100, 80), (20, 2)).astype(np.float32)
    descriptors = rng.integers(0, 256, (20, 32), dtype=np.uint8)
    found = _verified_match.verify_picture(
        crop_points,
        descriptors,
        (100, 80),
        crop_points + np.float32(shift),
        descriptors,
        (300, 200),
        (2.0, 2.0),
        **verified_search.verification_settings(),
    )
    if not inside:
        assert found is None
        return
    score, corners = found
    assert score == 20
    left, top = shift
    expected = [(left, top), (left + 100, top), (left + 100, top + 80), (left, top + 80)]
    assert np.abs(np.array(corners) - 2.0 * np.array(expected, np.float64)).max() < 0.01


@pytest.mark.slow
def test_copies_rank_by_consistent_matches_and_max_return_cuts(tmp_path):
    folder = tmp_path / "pictures"
    make_folder(folder, range(3))
    source = textured_photo(640, 480, 77)
    crop = cut(source, tmp_path / "crop.png")
    full = write(folder / "a_full.png", source)
    small = write(folder / "b_small.jpg", cv2.resize(source, (224, 168), interpolation=cv2.INTER_AREA))
    matches = verified_cropped_matches(crop, str(folder))
    assert [match.path for match in matches] == [full, small]
    assert matches[0].score > matches[1].score
    assert verified_cropped_search(crop, str(folder), max_return=1) == [full]


@pytest.mark.slow
def test_stored_and_fresh_features_give_identical_answers(tmp_path, monkeypatch):
    folder = tmp_path / "pictures"
    pictures = make_folder(folder, range(6))
    crop = cut(cv2.imread(pictures[3]), tmp_path / "crop.png")
    fresh = verified_cropped_matches(crop, str(folder), use_store=False)
    assert not os.path.exists(store_file())
    cold = verified_cropped_matches(crop, str(folder))
    assert stored_paths() == set(pictures.values())

    read = []
    real_read = verified_search._read_pictures
    monkeypatch.setattr(
        verified_search,
        "_read_pictures",
        lambda paths, context: read.extend(paths) or real_read(paths, context),
    )
    warm = verified_cropped_matches(crop, str(folder))

    assert read == []  # every picture came from the store
    assert fresh == cold == warm
    assert fresh[0].path == pictures[3]


@pytest.mark.slow
def test_changed_and_removed_pictures_are_read_again_or_forgotten(tmp_path):
    folder = tmp_path / "pictures"
    pictures = make_folder(folder, range(4))
    other = make_folder(tmp_path / "other", [9])
    crop = cut(cv2.imread(pictures[2]), tmp_path / "crop.png")
    verified_cropped_search(crop, str(tmp_path / "other"))
    assert verified_cropped_search(crop, str(folder)) == [pictures[2]]

    # Same name, other content, and a modification time the store has not seen.
    write(pictures[2], textured_photo(640, 480, 40))
    os.utime(pictures[2], ns=(1, 1))
    os.remove(pictures[1])
    assert verified_cropped_search(crop, str(folder)) == []
    assert stored_paths() == {pictures[0], pictures[2], pictures[3], other[9]}


def damage_garbage(path):
    Path(path).write_bytes(b"this is no database " * 300)


def damage_truncate(path):
    data = Path(path).read_bytes()
    Path(path).write_bytes(data[: len(data) // 2 + 100])


def damage_directory(path):
    os.remove(path)
    os.mkdir(path)


@pytest.mark.slow
@pytest.mark.parametrize("damage", [damage_garbage, damage_truncate, damage_directory])
def test_damaged_store_does_not_fail_the_search(tmp_path, damage):
    folder = tmp_path / "pictures"
    pictures = make_folder(folder, range(5))
    crop = cut(cv2.imread(pictures[4]), tmp_path / "crop.png")
    expected = verified_cropped_matches(crop, str(folder))
    for suffix in ("-wal", "-shm"):
        if os.path.exists(store_file() + suffix):
            os.remove(store_file() + suffix)
    damage(store_file())

    assert verified_cropped_matches(crop, str(folder)) == expected
    if os.path.isfile(store_file()):  # a broken file is replaced by a working store
        assert stored_paths() == set(pictures.values())


@pytest.mark.slow
@pytest.mark.parametrize("method", START_METHODS)
def test_worker_pool_gives_the_same_answer_under_every_start_method(tmp_path, method, monkeypatch):
    folder = tmp_path / "pictures"
    pictures = make_folder(folder, range(5))
    crop = cut(cv2.imread(pictures[1]), tmp_path / "crop.png")
    monkeypatch.setattr(verified_search, "IN_PROCESS_LIMIT", 10)
    in_process = verified_cropped_matches(crop, str(folder), use_store=False)
    monkeypatch.setattr(verified_search, "IN_PROCESS_LIMIT", 0)
    pooled = verified_cropped_matches(
        crop, str(folder), use_store=False, mp_context=multiprocessing.get_context(method)
    )
    assert pooled == in_process
    assert pooled[0].path == pictures[1]


@pytest.mark.slow
def test_dying_worker_ends_the_search_with_an_error(tmp_path, monkeypatch):
    folder = tmp_path / "pictures"
    make_folder(folder, range(4))
    write(folder / "die.png", textured_photo(160, 120, 5))
    crop = cut(textured_photo(640, 480, 1), tmp_path / "crop.png")
    monkeypatch.setattr(verified_search, "picture_features", dying_reader)
    monkeypatch.setattr(verified_search, "IN_PROCESS_LIMIT", 0)
    with pytest.raises(
        RuntimeError,
        match=r"^a worker process died \(exit code 3\) before the pool finished "
        r"its 5 work items; the pool's other workers were ended$",
    ):
        verified_cropped_search(crop, str(folder), mp_context=multiprocessing.get_context("fork"))


@pytest.mark.slow
def test_unsafe_files_are_skipped_and_odd_names_are_found(tmp_path):
    folder = tmp_path / "pictures"
    make_folder(folder, range(3))
    os.mkfifo(folder / "waiting.jpg")  # opening it for reading would wait for a writer
    source = textured_photo(640, 480, 8)
    odd = write(os.fsencode(folder) + b"/caf\xe9.png", source)  # Latin-1 name, not UTF-8
    crop = cut(source, os.fsencode(tmp_path) + b"/crop\xff.png")
    assert verified_cropped_search(crop, str(folder)) == [odd]


def test_pictures_above_the_pixel_limit_are_not_decoded(tmp_path, monkeypatch):
    folder = tmp_path / "pictures"
    source = textured_photo(640, 480, 8)
    write(folder / "large.png", source)
    small = write(folder / "small.png", cv2.resize(source, (320, 240), interpolation=cv2.INTER_AREA))
    crop = cut(source, tmp_path / "crop.png")
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 320 * 240)
    assert verified_cropped_search(crop, str(folder), use_store=False) == [small]
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 100 * 100)
    with pytest.raises(ValueError, match="crop image file"):
        verified_cropped_search(crop, str(folder), use_store=False)


def test_a_picture_refused_under_a_lowered_pixel_limit_is_read_again_under_the_default(tmp_path, monkeypatch):
    # The store keeps a refused picture as unusable; that verdict holds for its limit only.
    folder = tmp_path / "pictures"
    source = textured_photo(640, 480, 8)
    large = write(folder / "large.png", source)
    small = write(folder / "small.png", cv2.resize(source, (320, 240), interpolation=cv2.INTER_AREA))
    crop = cut(source, tmp_path / "crop.png")
    default = Image.MAX_IMAGE_PIXELS
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 320 * 240)
    assert verified_cropped_search(crop, str(folder)) == [small]
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", default)
    assert sorted(verified_cropped_search(crop, str(folder))) == sorted([large, small])


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ((None, "."), TypeError, "crop_path"),
        (("crop.png", 3), TypeError, "folder"),
        (("crop.png", ".", True), TypeError, "max_return"),
        (("crop.png", ".", -1), ValueError, "max_return"),
        (("missing.png", "."), FileNotFoundError, "No such crop"),
        (("notes.png", "."), ValueError, "notes.png"),
    ],
)
def test_bad_arguments_are_named(tmp_path, monkeypatch, arguments, error, message):
    monkeypatch.chdir(tmp_path)
    write(tmp_path / "crop.png", textured_photo(160, 120, 1))
    (tmp_path / "notes.png").write_text("not a picture")
    with pytest.raises(error, match=message):
        verified_cropped_search(*arguments)


@pytest.mark.slow
def test_find_images_crop_verify_gives_the_verified_results_and_draws_the_outline(
    tmp_path, find_images_json, find_images
):
    folder = tmp_path / "pictures"
    pictures = make_folder(folder, range(4))
    crop = cut(cv2.imread(pictures[2]), tmp_path / "crop.png")
    expected = verified_cropped_matches(crop, str(folder), use_store=False)

    document = find_images_json("crop", crop, folder, "--verify")
    assert document["score"] == "consistent matches"
    assert [(r["path"], r["score"]) for r in document["results"]] == [(m.path, m.score) for m in expected]
    assert np.allclose(document["results"][0]["outline"], expected[0].corners)

    report = tmp_path / "report.html"
    result = find_images("crop", crop, folder, "--verify", "--report", report)
    assert result.returncode == 0, result.stderr
    page = report.read_text()
    assert "Outline: where the crop lies" in page and "consistent matches" in page
    assert page.count('data-rank="') == len(expected)


SMOOTH_BOX = (200, 120, 220, 160)  # left, top, width, height in the 640 x 480 smooth source


def smooth_folder(root, source):
    """Smooth and textured pictures, with `source` at its own size and at 0.45 of it."""
    for seed in (21, 22, 23):
        write(root / f"smooth_{seed}.png", smooth_picture(640, 480, seed))
    make_folder(root, [1, 2])
    full = write(root / "source_full.png", source)
    small = write(root / "source_small.png", cv2.resize(source, (288, 216), interpolation=cv2.INTER_AREA))
    return full, small


def smooth_crop(pixels, path):
    left, top, width, height = SMOOTH_BOX
    return write(path, pixels[top : top + height, left : left + width])


@pytest.mark.slow
@pytest.mark.parametrize("seed", [11, 12])
def test_smooth_crop_without_keypoints_is_placed_by_its_pixels_in_every_copy(tmp_path, seed):
    source = smooth_picture(640, 480, seed)
    full, small = smooth_folder(tmp_path / "pictures", source)
    crop = smooth_crop(source, tmp_path / "crop.png")

    matches = verified_cropped_matches(crop, str(tmp_path / "pictures"))

    assert sorted(match.path for match in matches) == sorted([full, small])
    assert all(match.placed_by == verified_search.PLACED_BY_PIXELS for match in matches)
    assert all(verified_pixels.PIXEL_SETTINGS.min_correlation <= match.score <= 1.0 for match in matches)
    left, top, width, height = SMOOTH_BOX
    expected = np.array(
        [(left, top), (left + width, top), (left + width, top + height), (left, top + height)], np.float64
    )
    for match in matches:
        factor = 1.0 if match.path == full else 0.45
        # A thumbnail pixel of the fine level is 2.5 of the full picture's.
        assert np.abs(np.array(match.corners) - expected * factor).max() < 8 * factor


@pytest.mark.parametrize(
    "box, placed",
    [
        ((60, 120, 300, 56), True),  # about 120 x 22 on the fine thumbnail: thin, but long
        ((100, 60, 56, 320), True),
        ((100, 300, 120, 56), False),  # 48 x 22: too few samples to tell it from lookalikes
    ],
)
def test_thin_blurred_crop_is_placed_by_its_pixels_when_it_is_long_enough(box, placed):
    # A strip of a blurred photograph (no keypoints survive such a blur), as thin on the fine
    # thumbnail as the coarse scan's smallest size allows.
    grey = cv2.cvtColor(cv2.GaussianBlur(textured_photo(640, 480, 5), (0, 0), 7.0), cv2.COLOR_BGR2GRAY)
    left, top, width, height = box
    crop = grey[top : top + height, left : left + width]
    fine = cv2.resize(grey, (256, 192), interpolation=cv2.INTER_AREA)
    coarse = cv2.resize(grey, (64, 48), interpolation=cv2.INTER_AREA)
    search = verified_pixels.PixelSearch(crop)
    search.scan(0, "picture", coarse)
    (candidate,) = search._candidates
    settings = verified_pixels.PIXEL_SETTINGS

    placement = verified_pixels.place(crop, candidate, fine, (640, 480), settings, search._turning_crop)

    assert (placement is not None) == placed
    if placed:
        expected = [(left, top), (left + width, top), (left + width, top + height), (left, top + height)]
        assert np.abs(np.array(placement.corners) - expected).max() < 6
        # Thinner than a square placement may be: only its length lets it through.
        squares_only = dataclasses.replace(settings, min_thin_area=10**9)
        assert (
            verified_pixels.place(crop, candidate, fine, (640, 480), squares_only, search._turning_crop)
            is None
        )


@pytest.mark.slow
@pytest.mark.parametrize(
    "make_crop",
    [
        lambda: smooth_picture(640, 480, 30)[120:280, 200:420],  # smooth, from a picture not in the folder
        lambda: smooth_picture(640, 480, 31)[50:250, 300:600],
        lambda: np.full((160, 220, 3), (40, 90, 200), np.uint8),  # flat: lies in no place more than another
        lambda: np.full((160, 220, 3), 255, np.uint8),
    ],
    ids=["foreign-smooth-30", "foreign-smooth-31", "flat-colour", "flat-white"],
)
def test_foreign_smooth_and_flat_crops_are_placed_nowhere(tmp_path, make_crop):
    folder = tmp_path / "pictures"
    smooth_folder(folder, smooth_picture(640, 480, 11))
    write(folder / "white.png", np.full((480, 640, 3), 255, np.uint8))
    crop = write(tmp_path / "crop.png", make_crop())
    assert verified_cropped_matches(crop, str(folder)) == []


@pytest.mark.slow
def test_pixel_stage_reads_no_picture_once_the_store_is_filled(tmp_path, monkeypatch):
    source = smooth_picture(640, 480, 12)
    folder = tmp_path / "pictures"
    smooth_folder(folder, source)
    crop = smooth_crop(source, tmp_path / "crop.png")
    fresh = verified_cropped_matches(crop, str(folder), use_store=False)
    cold = verified_cropped_matches(crop, str(folder))

    read = []
    real_read = verified_search._read_pictures
    monkeypatch.setattr(
        verified_search,
        "_read_pictures",
        lambda paths, context: read.extend(paths) or real_read(paths, context),
    )
    warm = verified_cropped_matches(crop, str(folder))
    assert read == []
    assert fresh == cold == warm and len(fresh) == 2

    # Thumbnails lost from the store are read again rather than missed.
    with sqlite3.connect(store_file()) as db:
        db.execute("DELETE FROM picture_thumbnails")
    assert verified_cropped_matches(crop, str(folder)) == fresh
    assert sorted(read) == sorted(stored_paths())


@pytest.mark.slow
def test_old_store_entries_are_refreshed_not_misread(tmp_path):
    source = smooth_picture(640, 480, 11)
    folder = tmp_path / "pictures"
    smooth_folder(folder, source)
    crop = smooth_crop(source, tmp_path / "crop.png")
    expected = verified_cropped_matches(crop, str(folder), use_store=False)
    verified_cropped_matches(crop, str(folder))
    with sqlite3.connect(store_file()) as db:  # as a store of the keypoint-only settings left them
        db.execute("UPDATE picture_features SET settings = ?", (verified_search.PICTURE_SETTINGS.key(),))
        db.execute("DELETE FROM picture_thumbnails")
    assert verified_cropped_matches(crop, str(folder)) == expected
    with sqlite3.connect(store_file()) as db:
        assert {row[0] for row in db.execute("SELECT settings FROM picture_features")} == {
            verified_search._store_key()
        }


@pytest.mark.slow
def test_find_images_names_the_pixel_placement_and_its_score(tmp_path, find_images_json, find_images):
    source = smooth_picture(640, 480, 11)
    folder = tmp_path / "pictures"
    smooth_folder(folder, source)
    crop = smooth_crop(source, tmp_path / "crop.png")
    expected = verified_cropped_matches(crop, str(folder), use_store=False)

    document = find_images_json("crop", crop, folder, "--verify")
    assert document["score"] == "grey-level correlation"
    assert [(r["path"], r["score"], r["placed_by"]) for r in document["results"]] == [
        (m.path, m.score, "pixels") for m in expected
    ]

    report = tmp_path / "report.html"
    result = find_images("crop", crop, folder, "--verify", "--report", report)
    assert result.returncode == 0, result.stderr
    assert "placed by its pixels" in report.read_text()


def test_crop_of_a_plain_gradient_is_placed_nowhere_even_in_its_own_picture(tmp_path):
    # Every window of a linear gradient along its lines looks the same: nothing tells where
    # the crop came from, so no place is claimed.
    folder = tmp_path / "pictures"
    make_folder(folder, [1])
    ramp = np.tile(np.linspace(30, 220, 640, dtype=np.float32), (480, 1))
    gradient = write(folder / "gradient.png", np.dstack([ramp, ramp * 0.8, 255 - ramp]).astype(np.uint8))
    crop = smooth_crop(cv2.imread(gradient), tmp_path / "crop.png")
    assert verified_cropped_matches(crop, str(folder)) == []


@pytest.mark.parametrize("centre, radius", [((500, -400), 600), ((600, -600), 900), ((450, -150), 400)])
def test_straight_edge_crop_names_its_own_picture_not_a_bend_of_another(tmp_path, centre, radius):
    # The crop slides along the edge of its own picture, so its spot there is uncertain; a
    # large disk's edge in the other picture bends just enough to give it one best spot, yet
    # fits it clearly worse: the crop names its own picture, never the disk.
    edge = straight_edge_picture(640, 480, 20, 60, 170)
    own = write(tmp_path / "pictures" / "edge.png", cv2.cvtColor(edge, cv2.COLOR_GRAY2BGR))
    disk = disk_picture(640, 480, centre, radius, 40, 200)
    write(tmp_path / "pictures" / "disk.png", cv2.cvtColor(disk, cv2.COLOR_GRAY2BGR))
    lighter = np.clip(edge[180:300, 260:400].astype(np.float32) * 0.8 + 20, 0, 255).astype(np.uint8)
    crop = write(tmp_path / "crop.png", lighter)
    matches = verified_cropped_matches(crop, str(tmp_path / "pictures"), use_store=False)
    assert [(match.path, match.placed_by) for match in matches] == [(own, verified_search.PLACED_BY_PIXELS)]
    # Wherever along the edge it was placed, the outline straddles the edge.
    corners = np.array(matches[0].corners)
    y_on_edge = 240 + (corners.mean(axis=0)[0] - 320) * np.tan(np.radians(20))
    assert abs(corners.mean(axis=0)[1] - y_on_edge) < 10


@pytest.mark.parametrize("degrees", [20.5, 21.0, 21.5])
def test_foreign_straight_edge_crop_names_no_photograph_of_two_with_such_an_edge(tmp_path, degrees):
    # A straight edge of a picture not in the folder, grainy as a photograph, fits the
    # folder's two straight edges about as well as each other (and along each): it names
    # neither.
    edge = straight_edge_picture(640, 480, 20, 60, 170)
    write(tmp_path / "pictures" / "edge.png", cv2.cvtColor(edge, cv2.COLOR_GRAY2BGR))
    other = straight_edge_picture(640, 480, 22, 90, 200)[40:, 60:]
    write(tmp_path / "pictures" / "other_edge.png", cv2.cvtColor(other, cv2.COLOR_GRAY2BGR))
    write(tmp_path / "pictures" / "textured.png", textured_photo(640, 480, 4))
    foreign = straight_edge_picture(640, 480, degrees, 50, 180)[180:300, 260:400].astype(np.float32)
    grain = np.random.default_rng(5).normal(0, 2.0, foreign.shape)
    crop = write(tmp_path / "crop.png", np.clip(foreign + grain, 0, 255).astype(np.uint8))
    assert verified_cropped_matches(crop, str(tmp_path / "pictures"), use_store=False) == []


@pytest.mark.parametrize(
    "centre, radius, corner", [((500, -400), 600, (220, 100)), ((320, 240), 200, (200, 40))]
)
def test_bent_edge_crop_is_placed_in_its_own_picture_beside_a_straight_edge(tmp_path, centre, radius, corner):
    # The crop also fits the straight edge of the other picture well, and all along it; that
    # lookalike fits less well than the crop's own spot, so it does not veto the placement.
    disk = disk_picture(640, 480, centre, radius, 40, 200)
    own = write(tmp_path / "pictures" / "disk.png", cv2.cvtColor(disk, cv2.COLOR_GRAY2BGR))
    edge = straight_edge_picture(640, 480, 20, 60, 170)
    write(tmp_path / "pictures" / "edge.png", cv2.cvtColor(edge, cv2.COLOR_GRAY2BGR))
    x, y = corner
    region = disk[y : y + 120, x : x + 140].astype(np.float32) * 0.8 + 20
    crop = write(tmp_path / "crop.png", np.clip(region, 0, 255).astype(np.uint8))
    matches = verified_cropped_matches(crop, str(tmp_path / "pictures"), use_store=False)
    assert [(match.path, match.placed_by) for match in matches] == [(own, verified_search.PLACED_BY_PIXELS)]
    corners = np.array(matches[0].corners)
    assert np.abs(corners - [(x, y), (x + 140, y), (x + 140, y + 120), (x, y + 120)]).max() < 8


def edge_with_slope(width, height):
    """Grey picture of a straight edge whose lighter side brightens across the picture."""
    edge = straight_edge_picture(width, height, 20, 60, 150).astype(np.float32)
    slope = np.linspace(0, 40, width, dtype=np.float32)[None, :] * (edge > 100)
    return np.clip(edge + slope, 0, 255).astype(np.uint8)


def two_edges(width, height):
    """Grey picture of three even bands: two straight edges."""
    band = np.full((height, width), 40, np.float32)
    band[:, width // 3 :] = 120
    band[:, 2 * width // 3 :] = 220
    return np.clip(cv2.GaussianBlur(band, (0, 0), 1.2), 0, 255).astype(np.uint8)


@pytest.mark.parametrize(
    "make_picture, two_tone",
    [
        (lambda: disk_picture(640, 480, (120, 240), 200, 40, 200), True),
        (lambda: straight_edge_picture(640, 480, 20, 60, 170), True),
        (lambda: edge_with_slope(640, 480), True),  # one region a slope: still one edge
        (lambda: two_edges(640, 480), False),
        (lambda: cv2.cvtColor(smooth_picture(640, 480, 12), cv2.COLOR_BGR2GRAY), False),
        (lambda: cv2.cvtColor(textured_photo(640, 480, 3), cv2.COLOR_BGR2GRAY), False),
    ],
    ids=["bent-edge", "straight-edge", "edge-and-slope", "two-edges", "soft-blobs", "textured"],
)
def test_a_crop_of_two_even_regions_split_by_one_edge_is_told_apart(make_picture, two_tone):
    crop = make_picture()[140:340, 180:460]
    grain = np.random.default_rng(2).normal(0, 1.5, crop.shape)  # as a JPEG leaves it
    crop = np.clip(crop + grain, 0, 255).astype(np.uint8)
    share = verified_pixels.two_tone_share(crop)
    assert (share >= verified_pixels.PIXEL_SETTINGS.two_tone_share) == two_tone


@pytest.mark.parametrize("size_of_other, names_disk", [(260, False), (300, True)])
def test_bent_edge_crop_names_a_photograph_only_when_no_other_bend_fits_it_nearly_as_well(
    tmp_path, size_of_other, names_disk
):
    # An edge between two even regions shows only its shape. The crop's bend (a disk of radius
    # 200, from a softer copy) fits the folder's disk of that radius best; a disk of radius
    # 260 bends a little less and fits it nearly as well, and a crop that fits two
    # photographs so alike names neither, while one of radius 300 fits it clearly worse.
    folder = tmp_path / "pictures"
    disk = write(
        folder / "disk.png",
        cv2.cvtColor(disk_picture(640, 480, (300, 260), 200, 40, 200), cv2.COLOR_GRAY2BGR),
    )
    other = disk_picture(640, 480, (320, 240), size_of_other, 40, 200)
    write(folder / "other_disk.png", cv2.cvtColor(other, cv2.COLOR_GRAY2BGR))
    write(folder / "textured.png", textured_photo(640, 480, 4))
    softer = cv2.GaussianBlur(disk_picture(640, 480, (320, 240), 200, 50, 190), (0, 0), 1.0)
    region = softer[240 - 60 : 240 + 60, 520 - 70 : 520 + 70].astype(np.float32)
    grain = np.random.default_rng(6).normal(0, 1.5, region.shape)
    crop = write(tmp_path / "crop.png", np.clip(region + grain, 0, 255).astype(np.uint8))
    matches = verified_cropped_matches(crop, str(folder), use_store=False)
    assert [match.path for match in matches] == ([disk] if names_disk else [])


@pytest.mark.slow
def test_the_package_gives_the_search_and_loads_it_only_when_asked():
    result = run_python(
        """
        import sys
        import search_index_tools
        from search_index_tools import progress, pool_watch, file_identity
        print("cv2 loaded:", "cv2" in sys.modules)
        from search_index_tools import verified_cropped_search, VerifiedMatch
        from search_index_tools.verified import search
        print(
            verified_cropped_search is search.verified_cropped_search,
            VerifiedMatch is search.VerifiedMatch,
        )
        """,
        cwd=TESTS_DIR,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["cv2", "loaded:", "False", "True", "True"]


@pytest.mark.parametrize(
    "gain, offset",
    [(1.0, 45), (0.7, 60), (1.3, -40), (0.8, -10)],
    ids=["lighter", "lighter-flatter", "darker-harder", "darker-flatter"],
)
def test_smooth_crop_with_other_brightness_and_contrast_is_placed_in_every_copy(tmp_path, gain, offset):
    source = smooth_picture(640, 480, 11)
    full, small = smooth_folder(tmp_path / "pictures", source)
    left, top, width, height = SMOOTH_BOX
    region = source[top : top + height, left : left + width].astype(np.float32)
    crop = write(tmp_path / "crop.png", np.clip(region * gain + offset, 0, 255).astype(np.uint8))

    matches = verified_cropped_matches(crop, str(tmp_path / "pictures"))

    assert sorted(match.path for match in matches) == sorted([full, small])
    assert all(match.placed_by == verified_search.PLACED_BY_PIXELS for match in matches)
    expected = np.array(
        [(left, top), (left + width, top), (left + width, top + height), (left, top + height)], np.float64
    )
    for match in matches:
        factor = 1.0 if match.path == full else 0.45
        assert np.abs(np.array(match.corners) - expected * factor).max() < 8 * factor


def test_chance_keypoint_placements_are_not_answers(tmp_path, monkeypatch):
    # Stands in for chance fits: every picture the crop is not in gets a placement with the
    # fewest matches allowed and an outline well inside it, as look-alike keypoints of a busy
    # picture give now and then. Only the picture the crop came from is an answer.
    folder = tmp_path / "pictures"
    pictures = make_folder(folder, range(5))
    crop = cut(cv2.imread(pictures[3]), tmp_path / "crop.png")
    real_verify = verified_search._verify

    def verify_with_chance_fits(crop_features, picture):
        found = real_verify(crop_features, picture)
        if found is not None:
            return found
        left, top = 0.3 * picture.width, 0.25 * picture.height
        return verified_search.MIN_INLIERS, (
            (left, top),
            (left + 230, top + 20),
            (left + 210, top + 190),
            (left - 20, top + 170),
        )

    monkeypatch.setattr(verified_search, "_verify", verify_with_chance_fits)
    assert verified_cropped_search(crop, str(folder)) == [pictures[3]]
    assert verified_cropped_search(crop, str(folder)) == [pictures[3]]  # from the store's thumbnails


@pytest.mark.parametrize(
    "inliers, kept", [(verified_search.MIN_INLIERS, False), (verified_search.MIN_INLIERS_UNSAMPLED, True)]
)
def test_outline_too_small_to_compare_needs_more_matches(tmp_path, monkeypatch, inliers, kept):
    folder = tmp_path / "pictures"
    pictures = make_folder(folder, range(2))
    crop = cut(textured_photo(640, 480, 60), tmp_path / "crop.png")
    # Five thumbnail pixels across: too few samples for the pixels to say anything.
    outline = ((100, 100), (112, 100), (112, 110), (100, 110))
    monkeypatch.setattr(
        verified_search,
        "_verify",
        lambda crop_features, picture: (inliers, outline) if picture.width == 640 else None,
    )
    assert set(verified_cropped_search(crop, str(folder))) == (set(pictures.values()) if kept else set())


def slope_like(crop, left, top):
    """A 640 x 480 grey picture of the crop's least-squares plane alone, extended from the
    crop's spot at (left, top): a slope of the crop's direction without its bends and blobs."""
    rows, columns = np.mgrid[0:480, 0:640].astype(np.float64)
    y, x = np.mgrid[0 : crop.shape[0], 0 : crop.shape[1]].astype(np.float64)
    design = np.column_stack([np.ones(crop.size), x.ravel(), y.ravel()])
    a, b, c = np.linalg.lstsq(design, crop.astype(np.float64).ravel(), rcond=None)[0]
    return np.clip(a + b * (columns - left) + c * (rows - top), 0, 255).astype(np.uint8)


def blurred_to(grey, box, agreement):
    """The crop at `box` of `grey` (640 x 480) blurred just enough that its pixels' agreement
    with their own spot (the lower of its two figures) falls to `agreement`: a crop that
    agrees with its spot closely, but not almost perfectly."""
    left, top, width, height = box
    crop_grey = grey[top : top + height, left : left + width]
    corners = ((left, top), (left + width, top), (left + width, top + height), (left, top + height))
    fine = cv2.resize(grey, (256, 192), interpolation=cv2.INTER_AREA)
    for sigma in np.arange(0.5, 12.0, 0.1):
        blurred = cv2.GaussianBlur(crop_grey, (0, 0), float(sigma))
        figures = verified_placement.placed_agreement(blurred, corners, (640, 480), fine)
        if figures is not None and min(figures) <= agreement:
            return blurred, min(figures)
    raise AssertionError("no blur brings the agreement down so far")


SMALL_BOX, LARGE_BOX = (300, 200, 70, 50), (150, 100, 230, 170)


@pytest.mark.parametrize(
    "source, box, shift, blur_to, answered",
    [
        ("smooth", (100, 100, 80, 60), (0, 0), None, True),  # a small crop on its own spot
        ("textured", SMALL_BOX, (0, 0), None, True),
        ("textured", SMALL_BOX, (90, -60), None, False),  # elsewhere in its picture
        ("textured", SMALL_BOX, (0, 0), 0.95, True),  # close agreement does for a small crop ...
        ("textured", LARGE_BOX, (0, 0), 0.95, False),  # ... not for a large one
        ("textured", LARGE_BOX, (0, 0), None, True),  # which needs almost perfect agreement
        ("textured", LARGE_BOX, (60, 40), None, False),
    ],
)
def test_three_matches_place_a_crop_only_where_its_pixels_agree_closely(
    tmp_path, monkeypatch, source, box, shift, blur_to, answered
):
    # Stands in for a crop that keeps three consistent matches: every picture gets a
    # placement of three at the crop's box (shifted by `shift`). The slope picture carries the
    # crop's plane at the same spot, so its grey levels correlate with the crop's there; only
    # their structure tells it from the crop's own picture.
    pixels = smooth_picture(640, 480, 12) if source == "smooth" else textured_photo(640, 480, 3)
    grey = cv2.cvtColor(pixels, cv2.COLOR_BGR2GRAY)
    left, top, width, height = box
    crop_grey = grey[top : top + height, left : left + width]
    if blur_to is not None:
        crop_grey, agreement = blurred_to(grey, box, blur_to)
        # The blurred crop lies between the two bars on its own spot.
        assert (
            verified_search.MIN_FEW_INLIERS_AGREEMENT
            <= agreement
            < verified_search.MIN_FEW_INLIERS_LARGE_AGREEMENT
        )
    folder = tmp_path / "pictures"
    own = write(folder / "own.png", pixels)
    write(
        folder / "slope.png", cv2.cvtColor(slope_like(grey[100:160, 100:180], 100, 100), cv2.COLOR_GRAY2BGR)
    )
    crop = write(tmp_path / "crop.png", crop_grey)
    x, y = left + shift[0], top + shift[1]
    outline = ((x, y), (x + width, y), (x + width, y + height), (x, y + height))
    monkeypatch.setattr(verified_search, "_verify", lambda crop_features, picture: (3, outline))
    matches = verified_cropped_matches(crop, str(folder), use_store=False)
    by_keypoints = [match.path for match in matches if match.placed_by == verified_search.PLACED_BY_KEYPOINTS]
    assert by_keypoints == ([own] if answered else [])


@pytest.mark.parametrize(
    "seed, box", [(12, (100, 100, 80, 60)), (12, (400, 300, 100, 80)), (14, (300, 80, 90, 70))]
)
def test_placed_structure_tells_a_smooth_crop_from_a_slope_of_its_direction(seed, box):
    grey = cv2.cvtColor(smooth_picture(640, 480, seed), cv2.COLOR_BGR2GRAY)
    left, top, width, height = box
    crop = grey[top : top + height, left : left + width]
    corners = ((left, top), (left + width, top), (left + width, top + height), (left, top + height))
    slope = slope_like(crop, left, top)

    def fine(picture):
        return cv2.resize(picture, (256, 192), interpolation=cv2.INTER_AREA)

    own = verified_placement.placed_agreement(crop, corners, (640, 480), fine(grey))
    on_slope = verified_placement.placed_agreement(crop, corners, (640, 480), fine(slope))
    assert min(own) >= verified_search.MIN_FEW_INLIERS_AGREEMENT
    assert on_slope[0] >= verified_search.MIN_FEW_INLIERS_AGREEMENT  # the plain levels agree ...
    assert on_slope[1] < 0.5  # ... their structure does not


@pytest.mark.parametrize(
    "degrees, scale, gain, offset, agrees",
    [
        (0, 1.0, 1.0, 0, True),
        (12, 0.6, 1.0, 0, True),
        (-9, 1.4, 0.6, 70, True),  # turned, enlarged, lighter and flatter
        (0, 1.0, -1.0, 255, False),  # the negative of the picture there
    ],
)
def test_placed_correlation_follows_the_outline(degrees, scale, gain, offset, agrees):
    source = textured_photo(640, 480, 7)
    grey = cv2.cvtColor(source, cv2.COLOR_BGR2GRAY)
    picture, matrix = turned(grey, degrees, scale)
    left, top, width, height = CROP_BOX
    crop = np.clip(grey[top : top + height, left : left + width] * gain + offset, 0, 255).astype(np.uint8)
    corners = crop_outline(matrix)
    fine = cv2.resize(
        picture, None, fx=256 / max(picture.shape), fy=256 / max(picture.shape), interpolation=cv2.INTER_AREA
    )
    size = (picture.shape[1], picture.shape[0])
    here = verified_placement.placed_correlation(crop, corners, size, fine)
    elsewhere = verified_placement.placed_correlation(crop, corners + (150, 90), size, fine)
    assert (here >= verified_search.MIN_PLACED_CORRELATION) == agrees
    assert abs(elsewhere) < verified_search.MIN_PLACED_CORRELATION


@pytest.fixture
def few_candidates(monkeypatch):
    """The candidate index serves folders of more than two pictures, and proposes two."""
    monkeypatch.setattr(verified_search, "CANDIDATES", 2)
    monkeypatch.setattr(verified_search, "FALLBACK_CANDIDATES", 3)


def words_file():
    import search_index_lib

    return search_index_lib.CACHED_INDEXED + verified_search.WORDS_SUFFIX


def indexed_paths():
    with sqlite3.connect(words_file()) as db:
        return {os.fsdecode(row[0]) for row in db.execute("SELECT path FROM picture_terms")}


@pytest.mark.slow
def test_candidate_road_answers_as_verifying_every_picture(tmp_path, few_candidates):
    folder = tmp_path / "pictures"
    pictures = make_folder(folder, range(7))
    for seed in (2, 5):
        crop = cut(cv2.imread(pictures[seed]), tmp_path / f"crop{seed}.png")
        proposed = verified_cropped_matches(crop, str(folder))
        assert proposed == verified_cropped_matches(crop, str(folder), use_store=False)
        assert [match.path for match in proposed] == [pictures[seed]]
    assert indexed_paths() == set(pictures.values())


@pytest.mark.parametrize(
    "crop_seed, second_look, found",
    [
        (2, 1, True),  # only the picture the coarse grey levels fit best gets the second look
        (60, 10, False),  # a foreign crop: every picture gets one, none holds it
    ],
)
def test_pictures_the_words_miss_get_a_second_look_by_their_grey_levels(
    tmp_path, few_candidates, monkeypatch, crop_seed, second_look, found
):
    folder = tmp_path / "pictures"
    pictures = make_folder(folder, range(7))
    crop = cut(textured_photo(640, 480, crop_seed), tmp_path / "crop.png")
    # The words propose every picture but the crop's own, as for a crop whose descriptors
    # quantised unlike its picture's.
    index_class = verified_search.verified_candidates.CandidateIndex
    proposed = index_class.candidates
    monkeypatch.setattr(
        index_class,
        "candidates",
        lambda self, descriptors, among, count: [
            path for path in proposed(self, descriptors, among, count) if path != pictures[2]
        ],
    )
    monkeypatch.setattr(verified_search, "SECOND_LOOK", second_look)
    matches = verified_cropped_matches(crop, str(folder))
    assert [(match.path, match.placed_by) for match in matches] == (
        [(pictures[2], verified_search.PLACED_BY_KEYPOINTS)] if found else []
    )


def test_added_picture_is_found_without_a_rebuild(tmp_path, few_candidates, monkeypatch):
    folder = tmp_path / "pictures"
    pictures = make_folder(folder, range(6))
    verified_cropped_search(cut(cv2.imread(pictures[0]), tmp_path / "first.png"), str(folder))
    added = write(folder / "sub0" / "added.jpg", textured_photo(640, 480, 70))

    read = []
    real_read = verified_search._read_pictures
    monkeypatch.setattr(
        verified_search,
        "_read_pictures",
        lambda paths, context: read.extend(paths) or real_read(paths, context),
    )
    monkeypatch.setattr(
        verified_search.verified_candidates.Vocabulary,
        "train",
        classmethod(lambda cls, descriptors: pytest.fail("the vocabulary was learnt again")),
    )
    crop = cut(cv2.imread(added), tmp_path / "crop.png")
    assert verified_cropped_search(crop, str(folder)) == [added]
    assert read == [added]  # only the new picture was read
    assert indexed_paths() == set(pictures.values()) | {added}
    verified_search.verified_candidates._LOADED.clear()  # as a new process finds it
    assert verified_cropped_search(crop, str(folder)) == [added]
    assert read == [added]


def test_changed_and_vanished_pictures_leave_the_index(tmp_path, few_candidates):
    folder = tmp_path / "pictures"
    pictures = make_folder(folder, range(6))
    old_crop = cut(cv2.imread(pictures[3]), tmp_path / "old.png")
    gone_crop = cut(cv2.imread(pictures[4]), tmp_path / "gone.png")
    assert verified_cropped_search(old_crop, str(folder)) == [pictures[3]]

    write(pictures[3], textured_photo(640, 480, 41))  # same name, other content
    os.utime(pictures[3], ns=(1, 1))
    os.remove(pictures[4])
    new_crop = cut(cv2.imread(pictures[3]), tmp_path / "new.png")
    assert verified_cropped_search(old_crop, str(folder)) == []
    assert verified_cropped_search(new_crop, str(folder)) == [pictures[3]]
    assert verified_cropped_search(gone_crop, str(folder)) == []
    assert indexed_paths() == set(pictures.values()) - {pictures[4]}
    index = verified_search.WordStore(words_file()).load()
    assert set(index.paths()) == indexed_paths()


@pytest.mark.parametrize("damage", quick_first(damage_garbage, damage_truncate, damage_directory))
def test_damaged_word_file_does_not_fail_the_search(tmp_path, few_candidates, damage):
    folder = tmp_path / "pictures"
    pictures = make_folder(folder, range(5))
    crop = cut(cv2.imread(pictures[1]), tmp_path / "crop.png")
    expected = verified_cropped_matches(crop, str(folder))
    verified_search.verified_candidates._LOADED.clear()
    for suffix in ("-wal", "-shm"):
        if os.path.exists(words_file() + suffix):
            os.remove(words_file() + suffix)
    damage(words_file())
    assert verified_cropped_matches(crop, str(folder)) == expected


def test_index_parts_vote_as_one_merged_index():
    # Pictures added after the last merge sit in a second part; votes must not depend on it.
    rng = np.random.default_rng(3)
    descriptors = [rng.integers(0, 256, (400, 32), dtype=np.uint8) for _ in range(6)]
    candidates = verified_search.verified_candidates
    vocabulary = candidates.Vocabulary.train(np.concatenate(descriptors))
    split, merged = candidates.CandidateIndex(vocabulary), candidates.CandidateIndex(vocabulary)
    for number, picture in enumerate(descriptors):
        terms = candidates.picture_terms(vocabulary, picture)
        split.add(f"p{number}", "key", (10, 10), *terms)
        merged.add(f"p{number}", "key", (10, 10), *terms)
        if number == 2:
            merged._merge()
            split._merge()
    split.remove("p1")
    merged.remove("p1")
    merged._merge()
    crop = np.concatenate([descriptors[4][:150], descriptors[1][:150]])
    assert np.array_equal(split.scores(crop), merged.scores(crop))
    assert split.candidates(crop, [f"p{n}" for n in range(6)], 3)[0] == "p4"  # p1 is gone


def test_smooth_crop_that_fits_two_different_pictures_is_placed_nowhere(tmp_path):
    # A second picture that is the first made much lighter and flatter is another picture
    # (its thumbnail differs by tens of grey levels), yet with brightness and contrast free
    # the crop fits it as well as its own: nothing tells which it came from.
    source = smooth_picture(640, 480, 12)
    folder = tmp_path / "pictures"
    smooth_folder(folder, source)
    write(
        folder / "brighter_twin.png", np.clip(source.astype(np.float32) * 0.6 + 90, 0, 255).astype(np.uint8)
    )
    crop = smooth_crop(source, tmp_path / "crop.png")
    assert verified_cropped_matches(crop, str(folder)) == []


def test_words_are_the_nearest_leaf_under_the_nearest_top_descriptor():
    # The vocabulary's tree is searched by faiss; the words must be exactly what a plain
    # search of the tree gives: nearest top descriptor, then its nearest leaf.
    candidates = verified_search.verified_candidates
    rng = np.random.default_rng(8)
    library = rng.integers(0, 256, (20000, 32), dtype=np.uint8)
    vocabulary = candidates.Vocabulary.train(library)
    query = np.concatenate(
        [
            library[:500] ^ rng.integers(0, 2, (500, 32), dtype=np.uint8) << 3,
            rng.integers(0, 256, (500, 32), dtype=np.uint8),
        ]
    )
    cells = candidates._hamming(vocabulary.top[None, :, :], query[:, None, :]).argmin(axis=1)
    leaves = candidates._hamming(vocabulary.leaves[cells], query[:, None, :]).argmin(axis=1)
    assert np.array_equal(vocabulary.words(query), cells * candidates.LEAVES + leaves)


@pytest.mark.parametrize("crop_seed, picture_seed", [(1, 1), (1, 2), (3, 3), (4, 9)])
def test_neighbours_found_by_faiss_verify_as_opencv_finds_them(crop_seed, picture_seed, tmp_path):
    # The search hands faiss's two nearest neighbours to the verification; the answer must be
    # exactly the one OpenCV's own batch search gives (found or not, matches and outline).
    crop = cut(textured_photo(640, 480, crop_seed), tmp_path / "crop.png")
    _, crop_features = verified_search._crop_features(crop)
    picture, _ = turned(textured_photo(640, 480, picture_seed), 5, 0.8)
    features = verified_search.features_from_grey(
        cv2.cvtColor(picture, cv2.COLOR_BGR2GRAY),
        picture.shape[1],
        picture.shape[0],
        verified_search.PICTURE_SETTINGS,
    )
    with_faiss = verified_search._verify(crop_features, features)
    with_opencv = verified_search._verify_with(crop_features, features, None)
    assert with_faiss == with_opencv
    assert (with_faiss is not None) == (crop_seed == picture_seed)


def turned_region(source, centre, size, degrees, scale=1.0):
    """The region of `source` of `size` (width, height) about `centre`, turned by `degrees`
    (crop pixel (u, v) shows source point centre + R(degrees) ((u, v) - size / 2) / scale, as
    a user's turned crop does), and its outline in the source, from top-left, clockwise."""
    width, height = round(size[0] * scale), round(size[1] * scale)
    turn = verified_pixels.turn_matrix(degrees) / scale
    offset = np.array(centre, np.float64) - turn @ np.array([width / 2, height / 2])
    region = cv2.warpAffine(
        source,
        np.hstack([turn, offset.reshape(2, 1)]),
        (width, height),
        flags=cv2.INTER_AREA | cv2.WARP_INVERSE_MAP,
        borderMode=cv2.BORDER_REFLECT,
    )
    outline = [
        offset + turn @ np.array(corner, np.float64)
        for corner in ((0, 0), (width, 0), (width, height), (0, height))
    ]
    return region, np.array(outline)


@pytest.mark.slow
@pytest.mark.parametrize(
    "degrees, scale, gain, offset", [(9.0, 1.0, 1.0, 0.0), (-13.0, 0.8, 1.2, -30.0), (4.5, 1.3, 0.8, 25.0)]
)
def test_turned_smooth_crop_is_placed_by_its_pixels_on_its_outline(tmp_path, degrees, scale, gain, offset):
    source = smooth_picture(640, 480, 11)
    full, small = smooth_folder(tmp_path / "pictures", source)
    region, outline = turned_region(source, (320, 220), (220, 160), degrees, scale)
    crop = write(
        tmp_path / "crop.jpg", np.clip(region.astype(np.float32) * gain + offset, 0, 255).astype(np.uint8)
    )

    matches = verified_cropped_matches(crop, str(tmp_path / "pictures"))

    assert sorted(match.path for match in matches) == sorted([full, small])
    assert all(match.placed_by == verified_search.PLACED_BY_PIXELS for match in matches)
    for match in matches:
        factor = 1.0 if match.path == full else 0.45
        # A fine thumbnail pixel is 2.5 of the full picture's; a degree off moves the far
        # corners of a 270-pixel outline by under 5.
        assert np.abs(np.array(match.corners) - outline * factor).max() < 12 * factor


def edge_picture(width, height, degrees, dark, light):
    """Two even regions meeting along a straight line through the centre at `degrees`."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    normal = verified_pixels.turn_matrix(degrees) @ np.array([0.0, 1.0])
    side = (x - width / 2) * normal[0] + (y - height / 2) * normal[1]
    picture = np.where(side[..., None] > 0, np.array(light, np.float32), np.array(dark, np.float32))
    return cv2.GaussianBlur(picture, (0, 0), 1.0).astype(np.uint8)


@pytest.mark.slow
@pytest.mark.parametrize("crop_degrees, names_own", [(0.0, True), (7.0, False)])
def test_crop_of_a_straight_edge_between_even_regions_names_its_picture_only_by_a_wide_margin(
    tmp_path, crop_degrees, names_own
):
    # Such a crop fits anywhere along the edge, and along any edge like it. Cut as it is, it
    # fits its own picture exactly and the other edge clearly worse, so it names its picture;
    # turned, its resampling leaves about as much unexplained in its own picture as the
    # other edge does, and it names nothing.
    folder = tmp_path / "pictures"
    source = edge_picture(640, 480, 10.0, (40, 90, 120), (170, 210, 200))
    own = write(folder / "edge.png", source)
    write(folder / "other_edge.png", edge_picture(640, 480, 3.0, (60, 60, 60), (200, 190, 180)))
    make_folder(folder, [1, 2])
    region, _ = turned_region(source, (300, 240), (200, 140), crop_degrees)
    crop = write(tmp_path / "crop.png", region)

    matches = verified_cropped_matches(crop, str(folder))
    assert [match.path for match in matches] == ([own] if names_own else [])


@pytest.mark.slow
def test_heavily_edited_textured_crop_is_found_by_its_keypoints(tmp_path):
    folder = tmp_path / "pictures"
    pictures = make_folder(folder, range(12), size=(960, 720))
    source = cv2.imread(pictures[5])
    region, outline = turned_region(source, (430, 330), (260, 200), -11.0, 0.6)
    edited = np.clip(region.astype(np.float32) * 0.75 + 35, 0, 255).astype(np.uint8)
    crop = tmp_path / "crop.jpg"
    crop.write_bytes(cv2.imencode(".jpg", edited, [cv2.IMWRITE_JPEG_QUALITY, 40])[1].tobytes())

    matches = verified_cropped_matches(str(crop), str(folder))

    assert [match.path for match in matches] == [pictures[5]]
    assert matches[0].placed_by == verified_search.PLACED_BY_KEYPOINTS
    assert np.abs(np.array(matches[0].corners) - outline).max() < 12


@pytest.mark.parametrize("degrees", [0.0, 6.0, -14.0])
def test_straightened_crop_holds_the_pictures_upright_pixels(degrees):
    picture = textured_photo(400, 300, 3)[..., 0]
    region, _ = turned_region(picture, (200, 150), (160, 110), degrees)
    straight = verified_pixels.straightened(region, degrees)
    # The straightened crop is the picture's upright region about the same centre, no
    # border made up: it correlates with it as a copy does.
    height, width = straight.shape
    upright = picture[
        round(150 - height / 2) : round(150 - height / 2) + height,
        round(200 - width / 2) : round(200 - width / 2) + width,
    ]
    assert verified_placement.correlation(straight.astype(np.float32), upright.astype(np.float32)) > 0.9
    assert width >= 0.5 * 160 and height >= 0.5 * 110


def test_prune_forgets_only_the_folders_own_pictures(tmp_path):
    from search_index_tools.file_identity import file_identity
    from search_index_tools.verified.cache import FeatureCache
    from search_index_tools.verified.features import ReadResult

    paths = [
        write(tmp_path / name, np.zeros((8, 8, 3), np.uint8))
        for name in ("pics/a.png", "pics/sub/b.png", "pics2/c.png", "pics-old/d.png", "pics/e.png")
    ]
    store = FeatureCache(str(tmp_path / "store.sqlite"))
    store.store([(path, ReadResult(file_identity(path), None)) for path in paths], "key")
    # Listed now under pics: a.png only; b and e are gone, and the neighbours sharing the
    # folder's name as a prefix are another folder's.
    store.prune(str(tmp_path / "pics"), [paths[0]])
    kept = [path for path in paths if store.lookup(path, file_identity(path), "key") is not None]
    store.close()
    assert kept == [paths[0], paths[2], paths[3]]


@pytest.mark.parametrize("road", ["merged-on-the-way", "added-then-settled", "loaded-at-once"])
def test_every_road_into_the_candidate_index_votes_alike(road):
    rng = np.random.default_rng(8)
    descriptors = [rng.integers(0, 256, (300, 32), dtype=np.uint8) for _ in range(7)]
    candidates = verified_search.verified_candidates
    vocabulary = candidates.Vocabulary.train(np.concatenate(descriptors))
    terms = [candidates.picture_terms(vocabulary, picture) for picture in descriptors]
    reference = candidates.CandidateIndex(vocabulary)
    for number, (words, marks) in enumerate(terms):
        reference.add(f"p{number}", "key", (10, 10), words, marks, merge=False)
    reference._merge()

    index = candidates.CandidateIndex(vocabulary)
    if road == "loaded-at-once":
        index.add_many(
            [(f"p{number}", "key", (10, 10), words, marks) for number, (words, marks) in enumerate(terms)]
        )
    else:
        for number, (words, marks) in enumerate(terms):
            index.add(f"p{number}", "key", (10, 10), words, marks, merge=road == "merged-on-the-way")
            if road == "merged-on-the-way" and number % 2:
                index._merge()
        index.settle()
    for built in (reference, index):
        built.remove("p3")
    crop = np.concatenate([descriptors[5][:120], descriptors[3][:120], descriptors[0][:40]])
    assert np.array_equal(index.scores(crop), reference.scores(crop))
    assert np.array_equal(index.document_counts, reference.document_counts)
    assert index.candidates(crop, [f"p{n}" for n in range(7)], 2)[0] == "p5"  # p3 is gone
