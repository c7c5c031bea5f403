"""The command-line host: results, exit codes and messages for bad input."""
import subprocess
import sys

import pytest

from testsupport import TESTS_DIR, child_env, save_photo

SCRIPT = TESTS_DIR.parent / "examples" / "find_images.py"


@pytest.fixture
def settings(tmp_path):
    folder = tmp_path / "settings"
    folder.mkdir()
    text = (TESTS_DIR / "constants.py").read_text()
    text = text.replace('"test_cache_metadata.txt"', repr(str(tmp_path / "metadata.txt")))
    text = text.replace('"test_cached_index.faiss"', repr(str(tmp_path / "index.faiss")))
    (folder / "constants.py").write_text(text)
    return folder


@pytest.fixture
def photos(tmp_path):
    folder = tmp_path / "photos"
    for seed in range(4):
        save_photo(folder / f"photo_{seed}.jpg", 240, 180, seed=seed)
    return folder


def find_images(*args, settings):
    return subprocess.run([sys.executable, str(SCRIPT), "--settings", str(settings), *map(str, args)],
                          env=child_env(tests_path=False), capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("command", ["similar", "crop"])
def test_finds_the_source_picture_first(command, photos, settings, tmp_path):
    from PIL import Image

    query = tmp_path / "query.png"
    with Image.open(photos / "photo_2.jpg") as source:
        (source if command == "similar" else source.crop((40, 30, 200, 150))).save(query)
    result = find_images(command, query, photos, settings=settings)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[0] == str(photos / "photo_2.jpg")


def test_nothing_found_exits_1(photos, settings, tmp_path):
    crop = save_photo(tmp_path / "huge.png", 400, 400, seed=9)  # larger than every picture
    result = find_images("crop", crop, photos, settings=settings)
    assert (result.returncode, result.stdout) == (1, "")


@pytest.mark.parametrize("case, message", [
    ("missing folder", "folder not found"),
    ("missing query", "query image not found"),
    ("query not an image", "cannot search with"),
    ("no settings", "no settings module"),
])
def test_bad_input_gets_a_clear_message_and_exit_2(case, message, photos, settings, tmp_path):
    query, folder = save_photo(tmp_path / "q.png", 100, 80), photos
    if case == "missing folder":
        folder = tmp_path / "nowhere"
    elif case == "missing query":
        query = tmp_path / "nothing.png"
    elif case == "query not an image":
        query.write_text("not a picture")
    else:
        settings = tmp_path
    result = find_images("similar", query, folder, settings=settings)
    assert result.returncode == 2
    assert message in result.stderr
    assert "Traceback" not in result.stderr
