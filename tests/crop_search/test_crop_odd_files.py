"""The cropped search over the odd files real folders hold: pipes and devices are never
opened, names that are not valid UTF-8 are found like others, pictures over Pillow's size
limit are never decoded, and OpenCV sees the same pixels as its own file read gives.
Whatever could hang or crash runs in a child interpreter with a time limit."""

import contextlib
import json
import os
import socket

import cv2
import numpy as np
import pytest
from crop_search_support import reference_points, save_textured
from odd_files_support import GOOD, NON_UTF8_NAME, bomb_png
from PIL import Image
from testsupport import run_python

LIMIT = 120  # seconds; a search that hangs is stopped and fails the test


@pytest.mark.slow
def test_salted_folder_gives_the_results_of_its_clean_copy(tmp_path):
    child = run_python(
        f"""
        import json, os
        from pathlib import Path
        import cv2, numpy as np
        import search_index_lib as sil
        from odd_files_support import salted_and_clean, NON_UTF8_NAME

        root = Path({str(tmp_path)!r})
        salted, clean = salted_and_clean(root)
        # The crop is cut from the picture whose name is not valid UTF-8.
        pixels = cv2.imdecode(np.fromfile(os.fsencode(salted / NON_UTF8_NAME), np.uint8), 0)
        crop = str(root / "crop.png")
        cv2.imwrite(crop, pixels[20:100, 30:130])
        report = {{}}
        for name, folder in (("salted", salted), ("clean", clean)):
            listing = sil.get_images_absolute_path_recursive_a_directory(str(folder))
            _, results, _ = sil.live_search_similar_cropped(crop, listing, 100)
            report[name] = {{
                "points": {{os.path.relpath(r.image_path, folder): r.matched_points for r in results}},
                "ranked": [os.path.relpath(p, folder) for p in sil.cropped_search(crop, str(folder))],
            }}
        print(json.dumps(report))
    """,
        timeout=LIMIT,
    )
    assert child.returncode == 0, child.stderr
    report = json.loads(child.stdout.splitlines()[-1])
    salted, clean = report["salted"], report["clean"]
    assert salted["ranked"][0] == clean["ranked"][0] == NON_UTF8_NAME
    assert {name: points for name, points in salted["points"].items() if name in GOOD} == clean["points"]
    assert [name for name in salted["ranked"] if name in GOOD] == [
        n for n in clean["ranked"] if n in salted["ranked"]
    ]
    assert not {"empty.png", "notes.png", "bomb.png", "pipe.jpg"} & set(salted["points"])


def _special_files(folder):
    """Paths that name no regular file, or a picture Pillow refuses for its size."""
    os.mkfifo(folder / "pipe.jpg")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(str(folder / "socket.jpg"))
    (folder / "device.jpg").symlink_to("/dev/zero")
    (folder / "bomb.png").write_bytes(bomb_png())
    (folder / "folder.jpg").mkdir()
    return listener, ["pipe.jpg", "socket.jpg", "device.jpg", "bomb.png", "folder.jpg", "missing.jpg"]


def test_direct_calls_on_files_that_are_no_pictures_give_none_at_once(tmp_path):
    listener, names = _special_files(tmp_path)
    try:
        child = run_python(
            f"""
            import numpy as np
            import search_index_lib as sil
            crop = np.full((20, 20), 128, np.uint8)
            for name in {names!r}:
                print(name, sil.live_search_find_matched({str(tmp_path)!r} + "/" + name, crop))
            # text with surrogates, as undecodable names arrive; none of them exists
            for path in ["\\udcff", "bad\\udcffname.jpg", {str(tmp_path)!r} + "/\\udce9.png"]:
                print(ascii(path), sil.live_search_find_matched(path, crop))
        """,
            timeout=LIMIT,
        )
    finally:
        listener.close()
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    assert len(lines) == len(names) + 3 and all(line.endswith(" None") for line in lines)


@pytest.mark.slow
@pytest.mark.parametrize("crop_name", ["pipe.jpg", "socket.jpg", "device.jpg", "bomb.png", "folder.jpg"])
def test_a_crop_that_is_no_picture_is_refused_before_the_pool_starts(tmp_path, crop_name):
    listener, _ = _special_files(tmp_path)
    try:
        child = run_python(
            f"""
            import search_index_lib as sil
            try:
                sil.live_search_similar_cropped({str(tmp_path / crop_name)!r}, [])
            except ValueError as error:
                print(error)
        """,
            timeout=LIMIT,
        )
    finally:
        listener.close()
    assert child.returncode == 0, child.stderr
    assert child.stdout.startswith(f"Cannot read the crop image file {str(tmp_path / crop_name)!r}")


def _save_formats(folder):
    """One textured picture in each format and mode the searches meet; returns the paths."""
    grey = np.asarray(Image.open(save_textured(folder / "source.png", 320, 240, seed=4)))
    colour = np.dstack([grey, np.roll(grey, 7, axis=1), np.roll(grey, 5, axis=0)])
    rotated = Image.fromarray(colour)
    exif = rotated.getexif()
    exif[0x0112] = 6  # stored sideways: OpenCV's read turns it upright
    rotated.save(folder / "rotated.jpg", exif=exif)
    Image.fromarray(colour).convert("CMYK").save(folder / "cmyk.jpg")
    Image.fromarray(grey.astype(np.uint16) * 257).save(folder / "grey16.png")
    cv2.imwrite(str(folder / "colour16.png"), colour.astype(np.uint16) * 257)
    for mode, name in [
        ("P", "palette.png"),
        ("1", "one-bit.png"),
        ("LA", "grey-alpha.png"),
        ("RGBA", "alpha.png"),
        ("P", "still.gif"),
        ("RGB", "photo.webp"),
        ("RGB", "photo.bmp"),
    ]:
        Image.fromarray(colour).convert(mode).save(folder / name)
    return sorted(str(path) for path in folder.iterdir() if path.is_file())


def test_pictures_read_from_their_bytes_match_as_opencv_reads_them_by_name(sil, tmp_path):
    paths = _save_formats(tmp_path)
    for path in paths:
        image = cv2.imread(path, 0)
        crop = np.ascontiguousarray(image[30:150, 40:200])
        cv2.imwrite(str(tmp_path.parent / "crop.png"), crop)
        expected = reference_points(path, crop)
        assert expected, path
        assert sil.live_search_find_matched(path, crop).matched_points == expected, path
        processed = sil.live_search_process_image((path, str(tmp_path.parent / "crop.png")))
        assert processed.matched_points == expected, path


def test_names_that_are_not_utf8_read_like_others(sil, tmp_path):
    image = save_textured(tmp_path / "ascii.png", 320, 240, seed=6)
    undecodable = os.fsdecode(os.fsencode(tmp_path) + b"/\xff\xfe.png")
    os.link(image, os.fsencode(undecodable))
    crop = np.ascontiguousarray(cv2.imread(image, 0)[40:200, 50:250])
    crop_ascii, crop_undecodable = (
        str(tmp_path / "crop.png"),
        os.fsdecode(os.fsencode(tmp_path) + b"/c\xe9.png"),
    )
    cv2.imwrite(crop_ascii, crop)
    os.link(crop_ascii, os.fsencode(crop_undecodable))
    expected = sil.live_search_find_matched(image, crop).matched_points
    assert sil.live_search_find_matched(undecodable, crop).matched_points == expected
    assert sil.live_search_process_image((undecodable, crop_undecodable)).matched_points == expected
    # (The pool's road with such names is taken by the salted-folder test, in a child whose
    # parent process has run no keypoint detection before it forks.)


@pytest.mark.parametrize("side, used", [(300, False), (220, True)])
def test_pillow_size_limit_as_it_stands_decides_for_both_searches(sil, tmp_path, monkeypatch, side, used):
    path = save_textured(tmp_path / "picture.png", side, side, seed=8)
    crop = np.ascontiguousarray(cv2.imread(path, 0)[10:160, 20:180])
    # Pillow refuses over twice its limit and warns over the limit itself: 300 x 300 is
    # refused, 220 x 220 only warned about.
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 40000)
    with pytest.warns(Image.DecompressionBombWarning) if used else contextlib.nullcontext():
        matched = sil.live_search_find_matched(path, crop)
        vector = sil.load_image(sil.ImageData(image_path=path, last_modified=None))
    assert (matched is not None) == used and (vector is not None) == used
