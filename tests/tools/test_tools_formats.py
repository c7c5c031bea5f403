"""HEIC/HEIF and AVIF pictures through the find-images command: found by similarity with their
JPEG twins, placed by the verified crop search where a viewer shows them, thumbnailed upright in
the report in a real browser, and a clear one-line note when a decoder is missing or the search
reads with OpenCV."""

import json
import os

import pytest
from formats_support import CROP_BOX, block_package, copy_roll, settings_with_formats
from selenium.webdriver.common.by import By
from testsupport import child_env

ROLL_NAMES = ["upright_heic", "turned_heic", "upright_avif", "turned_avif"]
# The quick loop keeps the turned pictures of each format, the harder case.
ROLL_CASES = [
    pytest.param(name, marks=[pytest.mark.slow] if name.startswith("upright") else []) for name in ROLL_NAMES
]


@pytest.fixture
def roll(tmp_path, written_roll):
    return copy_roll(written_roll, tmp_path / "roll", tmp_path / "outside")


@pytest.fixture
def formats_settings(settings):
    return settings_with_formats(settings)


def run_json(find_images, settings, *args, env=None):
    result = find_images(*args, "--json", settings=settings, env=env)
    assert result.returncode in (0, 1) and result.stdout, (result.returncode, result.stderr)
    return json.loads(result.stdout), result.stderr


@pytest.mark.parametrize("name", ROLL_CASES)
def test_twin_is_found_first_by_similarity(name, roll, formats_settings, find_images, tmp_path):
    pictures, _ = roll
    document, _ = run_json(find_images, formats_settings, "similar", pictures[name].twin, tmp_path / "roll")
    assert document["results"][0]["path"] == str(pictures[name].path)
    assert document["results"][0]["score"] < document["results"][1]["score"]


@pytest.mark.parametrize("name", ROLL_CASES)
def test_verified_crop_is_placed_where_the_picture_shows_it(
    name, roll, formats_settings, find_images, tmp_path
):
    pictures, _ = roll
    document, _ = run_json(
        find_images, formats_settings, "crop", "--verify", pictures[name].crop, tmp_path / "roll"
    )
    first = document["results"][0]
    assert first["path"] == str(pictures[name].path)
    left, top, right, bottom = CROP_BOX
    expected = [(left, top), (right, top), (right, bottom), (left, bottom)]
    for corner, wanted in zip(first["outline"], expected):
        assert corner == pytest.approx(wanted, abs=6)


def test_index_reads_every_format(roll, formats_settings, find_images, tmp_path):
    pictures, others = roll
    document, note = run_json(find_images, formats_settings, "index", tmp_path / "roll")
    assert (document["indexed"], document["left_out"]) == (len(pictures) + len(others), [])
    assert note == ""


def test_report_shows_every_format_upright_in_a_browser(
    roll, formats_settings, find_images, browser, tmp_path
):
    pictures, _ = roll
    report = tmp_path / "report.html"
    result = find_images(
        "similar",
        pictures["turned_heic"].twin,
        tmp_path / "roll",
        "--limit",
        8,
        "--report",
        report,
        "--json",
        settings=formats_settings,
    )
    assert result.returncode == 0, result.stderr
    shown = [item["path"] for item in json.loads(result.stdout)["results"]]
    assert {str(picture.path) for picture in pictures.values()} <= set(shown)

    browser.get(report.as_uri())
    items = browser.find_elements(By.CSS_SELECTOR, ".results li")
    assert len(items) == len(shown)
    for item, path in zip(items, shown):
        image = item.find_element(By.TAG_NAME, "img")
        width, height = browser.execute_script(
            "return arguments[0].complete ? [arguments[0].naturalWidth, arguments[0].naturalHeight] : [0, 0]",
            image,
        )
        # Every picture of the roll is shown landscape, as a viewer shows it: the turned ones too.
        assert width > height > 0, (path, width, height)


def without_heif_decoder(tmp_path):
    env = child_env(tests_path=False)
    blocked = block_package(tmp_path / "blocked", "pillow_heif")
    # No empty entry: that would put the working folder (the source tree) on the path.
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(blocked), env.get("PYTHONPATH")]))
    return env


@pytest.mark.parametrize("command", ["index", "similar", "verify"])
def test_missing_decoder_is_named_once_and_the_rest_is_found(
    command, roll, formats_settings, find_images, tmp_path
):
    pictures, others = roll
    env = without_heif_decoder(tmp_path)
    folder = tmp_path / "roll"
    args = {
        "index": ["index", folder],
        "similar": ["similar", pictures["upright_avif"].twin, folder],
        "verify": ["crop", "--verify", pictures["upright_avif"].crop, folder],
    }[command]
    document, note = run_json(find_images, formats_settings, *args, env=env)
    assert note.splitlines() == [
        "find-images: left out 2 HEIC/HEIF pictures: no decoder for HEIC/HEIF is "
        "installed (pip install pillow-heif)"
    ]
    if command == "index":
        assert document["indexed"] == len(others) + 2  # the AVIF pictures and the others
        assert sorted(document["left_out"]) == sorted(
            str(pictures[name].path) for name in ROLL_NAMES if name.endswith("heic")
        )
    else:
        assert document["results"][0]["path"] == str(pictures["upright_avif"].path)
        assert not any(result["path"].endswith(".heic") for result in document["results"])


@pytest.mark.slow
def test_pictures_left_out_without_a_decoder_are_read_once_it_is_installed(
    roll, formats_settings, find_images, tmp_path
):
    """The stores remember a file that gave nothing; that must not outlive the missing decoder."""
    pictures, others = roll
    folder = tmp_path / "roll"
    without, _ = run_json(find_images, formats_settings, "index", folder, env=without_heif_decoder(tmp_path))
    run_json(
        find_images,
        formats_settings,
        "crop",
        "--verify",
        pictures["turned_heic"].crop,
        folder,
        env=without_heif_decoder(tmp_path),
    )
    os.utime(folder / "other" / "photo_0.png")  # a changed folder: the index is built again, from the store
    with_decoder, _ = run_json(find_images, formats_settings, "index", folder)
    assert (without["indexed"], with_decoder["indexed"]) == (len(others) + 2, len(others) + 4)
    verified, _ = run_json(
        find_images, formats_settings, "crop", "--verify", pictures["turned_heic"].crop, folder
    )
    assert verified["results"][0]["path"] == str(pictures["turned_heic"].path)


def test_plain_crop_search_says_what_opencv_left_out(roll, formats_settings, find_images, tmp_path):
    pictures, _ = roll
    document, note = run_json(
        find_images, formats_settings, "crop", "--plain", pictures["upright_heic"].crop, tmp_path / "roll"
    )
    assert str(pictures["upright_heic"].path) not in [result["path"] for result in document["results"]]
    assert note.splitlines() == [
        "find-images: left out 2 HEIC/HEIF pictures: the crop search reads with OpenCV, "
        "which cannot decode them; crop without --plain reads them"
    ]


@pytest.mark.parametrize("suffix", ["avif", "jpg"])
def test_report_marks_keypoints_where_opencv_found_them(suffix, tmp_path):
    """OpenCV turns a JPEG by its EXIF orientation before finding keypoints, but reads an AVIF as
    stored: the report puts both marks on the same spot of the upright thumbnail."""
    import base64
    import io

    import numpy as np
    from formats_support import exif_turned
    from PIL import Image

    from search_index_tools.report import THUMBNAIL_SIDE, thumbnail

    path = tmp_path / f"turned.{suffix}"
    Image.new("RGB", (400, 300), (40, 40, 40)).save(path, exif=exif_turned(6), quality=95)
    stored_point = (50, 60)
    # EXIF orientation 6: shown x = stored height - 1 - stored y, shown y = stored x.
    shown_point = (300 - 1 - stored_point[1], stored_point[0])
    points = [stored_point] if suffix == "avif" else [shown_point]
    uri = thumbnail(str(path), points=points)
    with Image.open(io.BytesIO(base64.b64decode(uri.split(",", 1)[1]))) as small:
        pixels = np.asarray(small.convert("RGB"), dtype=np.int16)
    scale = min(1.0, THUMBNAIL_SIDE / 400)
    assert pixels.shape[:2] == (round(400 * scale), round(300 * scale))  # upright: 300 wide, 400 high
    x, y = round(shown_point[0] * scale), round(shown_point[1] * scale)
    red, green, blue = pixels[y, x]
    assert red > 180 and green > 150 and blue < 90, (red, green, blue)  # the yellow mark


def test_plain_crop_search_refuses_a_crop_opencv_cannot_decode(roll, formats_settings, find_images, tmp_path):
    pictures, _ = roll
    done = find_images(
        "crop", "--plain", pictures["upright_heic"].path, tmp_path / "roll", settings=formats_settings
    )
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == (
        f"find-images: crop image {pictures['upright_heic'].path}: the crop search reads with "
        "OpenCV, which cannot decode this format; crop without --plain reads it\n"
    )


@pytest.mark.parametrize("command", [["similar"], ["crop", "--verify"]])
def test_a_query_without_its_decoder_names_what_to_install(
    command, roll, formats_settings, find_images, tmp_path
):
    pictures, _ = roll
    query = pictures["turned_heic"].path
    done = find_images(
        *command, query, tmp_path / "roll", settings=formats_settings, env=without_heif_decoder(tmp_path)
    )
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == (
        f"find-images: cannot search with {query}: no decoder for HEIC/HEIF is installed "
        "(pip install pillow-heif)\n"
    )


def test_default_settings_select_every_format(roll, tmp_path):
    from tools_support import run_find_images

    pictures, others = roll
    env = child_env(tests_path=False)
    env["XDG_CACHE_HOME"] = str(tmp_path / "cache_home")  # where the default settings keep the caches
    done = run_find_images("--json", "index", tmp_path / "roll", env=env)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["indexed"] == len(pictures) + len(others)
    assert (tmp_path / "cache_home" / "search_index_lib").is_dir()
