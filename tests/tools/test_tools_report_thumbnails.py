"""Report thumbnails: upright as the keypoint reader sees the picture, with each matched
point drawn on the spot where it was found, whatever the picture's size and orientation."""

import base64
import io

import cv2
import numpy as np
import pytest
from PIL import Image, ImageDraw

from search_index_tools import report

KEYPOINT_OFFSET = 8  # thumbnail pixels from a dot's centre: past the dot and its box


def decoded(uri):
    assert uri.startswith("data:image/jpeg;base64,")
    return Image.open(io.BytesIO(base64.b64decode(uri.split(",", 1)[1]))).convert("RGB")


@pytest.mark.slow
@pytest.mark.parametrize("orientation", [1, 3, 6, 8])
@pytest.mark.parametrize("size, suffix", [((1200, 800), ".png"), ((4000, 3000), ".jpg")])
def test_marked_point_lands_where_opencv_found_it(orientation, size, suffix, tmp_path):
    picture = Image.new("RGB", size, "white")
    width, height = size
    ImageDraw.Draw(picture).rectangle(
        (int(width * 0.6), int(height * 0.15), int(width * 0.8), int(height * 0.4)), fill="black"
    )
    exif = Image.Exif()
    exif[0x0112] = orientation
    path = tmp_path / f"picture{suffix}"
    picture.save(path, exif=exif)

    seen = cv2.imread(str(path), 0)  # as the keypoint matcher reads the picture
    ys, xs = np.nonzero(seen < 128)
    centre = (int(xs.mean()), int(ys.mean()))
    thumbnail = decoded(report.thumbnail(path, [centre]))

    assert max(thumbnail.size) == report.THUMBNAIL_SIDE
    assert (thumbnail.width > thumbnail.height) == (seen.shape[1] > seen.shape[0])
    x = round(centre[0] * thumbnail.width / seen.shape[1])
    y = round(centre[1] * thumbnail.height / seen.shape[0])
    red, green, blue = thumbnail.getpixel((x, y))
    assert red > 180 and green > 140 and blue < 110, "no keypoint dot at the point"
    assert max(thumbnail.getpixel((x + KEYPOINT_OFFSET, y + KEYPOINT_OFFSET))) < 90, (
        "the dot is off the region"
    )


@pytest.mark.parametrize("mode", ["RGBA", "LA", "P", "L", "I;16"])
def test_any_picture_mode_gives_a_thumbnail(mode, tmp_path):
    path = tmp_path / "picture.png"
    Image.new("RGBA", (1280, 960), (10, 200, 30, 0 if mode in ("RGBA", "LA") else 255)).convert(mode).save(
        path
    )
    thumbnail = decoded(report.thumbnail(path))
    assert thumbnail.size == (report.THUMBNAIL_SIDE, report.THUMBNAIL_SIDE * 3 // 4)
    if mode in ("RGBA", "LA"):  # see-through pixels show on white, not black
        assert min(thumbnail.getpixel((100, 100))) > 230


def test_unreadable_file_gives_no_thumbnail(tmp_path):
    path = tmp_path / "broken.jpg"
    path.write_bytes(b"\xff\xd8\xff not really a picture")
    assert report.thumbnail(path) is None
    assert report.thumbnail(tmp_path / "missing.jpg") is None


@pytest.mark.parametrize("grey", [0, 128, 255])
@pytest.mark.parametrize("mark", ["outline", "points"])
def test_marks_show_on_dark_and_light_pictures(grey, mark, tmp_path):
    path = tmp_path / "flat.png"
    Image.new("RGB", (1280, 960), (grey, grey, grey)).save(path)
    corners = ((320, 240), (960, 240), (960, 720), (320, 720))
    thumbnail = decoded(
        report.thumbnail(path, outline=corners)
        if mark == "outline"
        else report.thumbnail(path, points=corners)
    )
    scale = thumbnail.width / 1280
    x = round(640 * scale)  # the middle of the top edge, where no keypoint dot is drawn
    across = [thumbnail.getpixel((x, round(240 * scale) + offset)) for offset in range(-8, 9)]
    assert min(max(pixel) for pixel in across) < 60, "no dark stroke"
    assert max(min(pixel) for pixel in across) > 200, "no light stroke"
