import os

import numpy as np
import pytest
from crop_search_support import reference_points, save_flat


@pytest.mark.parametrize(
    "top, left, height, width",
    [
        (50, 100, 240, 320),  # a crop cut at an offset
        (250, 300, 220, 320),  # far from the origin, so crop-frame points would be disjoint
        (0, 0, 480, 640),  # the whole picture: exactly the image size passes
        (0, 0, 480, 200),  # as tall as the image, narrower
    ],
)
def test_points_are_the_image_keypoints_of_the_opencv_matches(sil, photo, top, left, height, width):
    path, image = photo
    crop = np.ascontiguousarray(image[top : top + height, left : left + width])
    result = sil.live_search_find_matched(path, crop)
    expected = reference_points(path, crop)
    assert expected and result == sil.MatchedResult(image_path=path, matched_points=expected)
    assert all(type(x) is int and type(y) is int for x, y in result.matched_points)
    assert all(0 <= x < 640 and 0 <= y < 480 for x, y in result.matched_points)
    # Many of these keypoints sit at fractional positions and many matches tie on distance,
    # so equality also checks truncation and the stable order.
    # The closest matches are the crop's own features, found where it was cut out.
    for x, y in result.matched_points[:5]:
        assert left - 2 <= x < left + width + 2 and top - 2 <= y < top + height + 2


@pytest.mark.parametrize("extra_rows, extra_columns", [(1, -40), (-40, 1), (1, 1)])
def test_crop_larger_than_the_image_in_one_dimension_gives_none(sil, photo, extra_rows, extra_columns):
    path, image = photo
    crop = np.zeros((480 + extra_rows, 640 + extra_columns), dtype=np.uint8)
    crop[: min(480, crop.shape[0]), : min(640, crop.shape[1])] = image[: crop.shape[0], : crop.shape[1]]
    assert sil.live_search_find_matched(path, crop) is None


def test_path_comes_back_as_given(sil, photo, monkeypatch):
    path, image = photo
    monkeypatch.chdir(os.path.dirname(path))
    relative = "./sub/../photo.png"
    os.makedirs("sub")
    assert sil.live_search_find_matched(relative, image[:200, :200]).image_path == relative


@pytest.mark.parametrize("kind", ["missing", "text", "folder", "featureless picture"])
def test_image_without_usable_pixels_gives_none(sil, photo, tmp_path, kind):
    _, image = photo
    path = tmp_path / "candidate.png"
    if kind == "text":
        path.write_text("not a picture")
    elif kind == "folder":
        path.mkdir()
    elif kind == "featureless picture":
        save_flat(path, 640, 480)
    assert sil.live_search_find_matched(str(path), image[:100, :100]) is None


def test_featureless_crop_gives_none(sil, photo):
    path, _ = photo
    assert sil.live_search_find_matched(path, np.full((120, 160), 90, dtype=np.uint8)) is None


def test_unread_crop_fails_only_once_the_image_is_read(sil, photo, tmp_path):
    path, _ = photo
    assert sil.live_search_find_matched(str(tmp_path / "missing.png"), None) is None
    with pytest.raises(AttributeError, match="shape"):
        sil.live_search_find_matched(path, None)
