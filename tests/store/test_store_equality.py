"""The feature store changes no result: a cold store, a warm store and no store give the
same vectors, paths, matched points and log lines, and stored work is what searches use."""

import os
import sqlite3
import struct

import pytest
from store_support import (
    HOST_STAND_INS,
    STORE_SWITCH,
    assert_same_results,
    awkward_folder,
    crops,
    every_result,
    fnv1a,
    point_cache_at,
    reset_index_cache,
    rows,
    store_path,
)
from testsupport import save_photo


@pytest.mark.slow
def test_cold_warm_and_no_store_give_the_same_results(sil, tmp_path, monkeypatch, caplog):
    folder = awkward_folder(tmp_path / "pictures")
    crop_paths = crops(tmp_path / "crops", folder)

    point_cache_at(sil, monkeypatch, tmp_path / "with_store")
    cold = every_result(sil, folder, crop_paths, caplog)
    stored_vectors, stored_keypoints = rows(sil, "vectors"), rows(sil, "keypoints")
    reset_index_cache(sil)
    warm = every_result(sil, folder, crop_paths, caplog)
    # The warm run found everything stored and added nothing.
    assert rows(sil, "vectors") == stored_vectors and rows(sil, "keypoints") == stored_keypoints

    monkeypatch.setenv(STORE_SWITCH, "off")
    point_cache_at(sil, monkeypatch, tmp_path / "without_store")
    plain = every_result(sil, folder, crop_paths, caplog)

    assert_same_results(cold, plain)
    assert_same_results(warm, plain)
    # The folder's awkward cases are all there: a file without vector, crops without result.
    assert len(cold["first build"][1]) == 9  # no vector for the text file and the cut JPEG
    assert cold["ranked " + crop_paths[2]] == ([], [], [])
    assert 0 < len(cold["cropped " + crop_paths[1]]) < len(cold["cropped " + crop_paths[0]])
    assert len(stored_vectors) == 11 and len(stored_keypoints) == 11


def tamper_vectors(sil):
    """Replaces every stored vector by zeros, with a checksum to match."""
    with sqlite3.connect(sil.CACHED_INDEXED + ".features.sqlite") as connection:
        for path, vector in connection.execute("SELECT path, vector FROM vectors").fetchall():
            zeros = bytes(len(vector))
            connection.execute(
                "UPDATE vectors SET vector = ?, checksum = ? WHERE path = ?", (zeros, fnv1a(zeros), path)
            )


def tamper_keypoints(sil):
    """Moves every stored keypoint to (7.5, 9.5), with a checksum to match."""
    with sqlite3.connect(store_path(sil)) as connection:
        found = connection.execute(
            "SELECT path, height, width, positions, descriptors, descriptor_width FROM keypoints "
            "WHERE descriptors IS NOT NULL"
        ).fetchall()
        for path, height, width, positions, descriptors, descriptor_width in found:
            moved = struct.pack("<2f", 7.5, 9.5) * (len(positions) // 8)
            digest = f"{height}x{width};{descriptor_width};".encode() + moved + descriptors
            connection.execute(
                "UPDATE keypoints SET positions = ?, checksum = ? WHERE path = ?",
                (moved, fnv1a(digest), path),
            )


@pytest.mark.parametrize("rebound", [None, "load_image", "padding_square_image", "Image", "np"])
def test_stored_vectors_are_used_only_while_the_loading_names_are_the_modules(
    sil, tmp_path, monkeypatch, rebound
):
    paths = [str(save_photo(tmp_path / f"p{i}.jpg", 96, 64, seed=i)) for i in range(3)]
    listing = [sil.ImageData(image_path=p, last_modified=None) for p in paths]
    real = sil.load_images(listing)
    tamper_vectors(sil)
    if rebound:
        monkeypatch.setattr(sil, rebound, HOST_STAND_INS[rebound]())
    loaded = sil.load_images(listing)
    for got, want in zip(loaded, real):
        if rebound:
            assert got.tobytes() == want.tobytes()
        else:
            assert not got.any()


@pytest.mark.slow
@pytest.mark.parametrize("rebound", [None, "live_search_find_matched", "live_search_process_image", "cv2"])
def test_stored_keypoints_are_used_only_while_the_matching_names_are_the_modules(
    sil, tmp_path, monkeypatch, rebound
):
    folder = awkward_folder(tmp_path / "pictures")
    crop = crops(tmp_path / "crops", folder)[0]
    real = sil.cropped_search(crop, str(folder))
    listing = list(sil.get_images_absolute_path_recursive_a_directory(str(folder)))
    _, real_matches, _ = sil.live_search_similar_cropped(crop, listing)
    tamper_keypoints(sil)
    if rebound:
        monkeypatch.setattr(sil, rebound, HOST_STAND_INS[rebound]())
    assert sil.cropped_search(crop, str(folder)) == real
    _, matches, _ = sil.live_search_similar_cropped(crop, listing)
    points = {tuple(point) for match in matches for point in match.matched_points}
    if rebound:
        assert [m.matched_points for m in matches] == [m.matched_points for m in real_matches]
    else:
        assert points == {(7, 9)}


def test_a_picture_rewritten_with_the_same_size_and_time_is_loaded_again(sil, tmp_path):
    # Uncompressed pictures of one size have one file size, whatever their content.
    paths = [str(save_photo(tmp_path / f"p{i}.bmp", 96, 64, seed=i)) for i in range(2)]
    listing = [sil.ImageData(image_path=p, last_modified=None) for p in paths]
    sil.load_images(listing)
    tamper_vectors(sil)
    before = os.stat(paths[0])
    save_photo(paths[0], 96, 64, seed=40)
    os.utime(paths[0], ns=(before.st_atime_ns, before.st_mtime_ns))
    assert os.stat(paths[0]).st_size == before.st_size

    fresh = sil.load_images(listing)
    assert fresh[0].tobytes() == sil.load_image(listing[0]).tobytes()
    assert not fresh[1].any()  # unchanged, so still the (tampered) stored vector
