"""Pictures and sub-folders the user cannot read: every search of the command leaves them out
and says so (how many; which with --verbose), instead of failing or keeping quiet, and a
picture that becomes readable again is searched again."""

import json

import pytest
from testsupport import TESTS_DIR, save_photo

SEARCHES = ["similar", "crop", "crop --verify", "index"]


@pytest.fixture
def library(unprivileged):
    """Six readable photos, one unreadable photo and a sub-folder that cannot be listed
    (holding two photos), in a place the unprivileged user can reach; with settings whose
    caches lie there too. Returns (folder, settings, run, locked picture, locked folder)."""
    base, run = unprivileged
    settings = base / "settings"
    settings.mkdir()
    text = (TESTS_DIR / "constants.py").read_text()
    text = text.replace('"test_cache_metadata.txt"', repr(str(base / "cache" / "metadata.txt")))
    text = text.replace('"test_cached_index.faiss"', repr(str(base / "cache" / "index.faiss")))
    (settings / "constants.py").write_text(text)
    (base / "cache").mkdir()
    (base / "cache").chmod(0o777)
    photos = base / "photos"
    for seed in range(6):
        save_photo(photos / ("a" if seed % 2 else "b") / f"photo_{seed}.png", 240, 180, seed=seed)
    locked = save_photo(photos / "a" / "locked.png", 240, 180, seed=7)
    for seed in (8, 9):
        save_photo(photos / "private" / f"photo_{seed}.png", 240, 180, seed=seed)
    for path in [base, *base.rglob("*")]:
        path.chmod(0o777 if path.is_dir() else 0o666)
    locked.chmod(0)
    (photos / "private").chmod(0)
    return photos, settings, run, locked, photos / "private"


def search(run, settings, command, photos, *extra):
    words = command.split()
    query = [] if words[0] == "index" else [str(photos / "b" / "photo_2.png")]
    if words[0] == "crop":
        query = [str(photos.parent / "crop.png")]
    return run(words[0], *query, photos, *words[1:], *extra, settings_folder=settings)


@pytest.fixture
def crop_file(library):
    from PIL import Image

    photos = library[0]
    crop = photos.parent / "crop.png"
    with Image.open(photos / "b" / "photo_2.png") as source:
        source.crop((40, 30, 200, 150)).save(crop)
    crop.chmod(0o666)
    return crop


# index reads as similar does, and crop --verify is crop: the quick loop leaves both to the full run.
@pytest.mark.parametrize(
    "command",
    [
        pytest.param(command, marks=[pytest.mark.slow] if command in ("index", "crop --verify") else [])
        for command in SEARCHES
    ],
)
def test_unreadable_picture_and_folder_are_left_out_and_counted(command, library, crop_file):
    photos, settings, run, locked, private = library
    result = search(run, settings, command, photos, "--json")
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    assert document["unreadable_pictures"] == [str(locked)]
    assert document["unreadable_folders"] == [str(private)]
    if command == "index":
        assert document["indexed"] == 6
    else:
        paths = [entry["path"] for entry in document["results"]]
        assert paths[0] == str(photos / "b" / "photo_2.png")
        assert str(locked) not in paths

    text = search(run, settings, command, photos)
    assert text.returncode == 0, text.stderr
    shown = text.stdout if command == "index" else text.stderr
    if command == "index":
        assert text.stdout.startswith(f"6 pictures indexed, 1 left out in {photos}\n")
        assert "  a/locked.png\n" in text.stdout and "  private\n" in text.stdout
    else:
        assert "1 picture could not be read and was left out (--verbose names them)" in shown
        assert "1 folder could not be read, so the pictures in it were not searched" in shown
        assert "locked.png" not in shown

    verbose = search(run, settings, command, photos, "--verbose")
    assert "cannot read a/locked.png: Permission denied" in verbose.stderr or command == "index"
    quiet = search(run, settings, command, photos, "--quiet")
    assert quiet.returncode == 0 and quiet.stderr == ""


def test_similar_reuses_its_index_and_takes_a_picture_back_once_readable(library):
    photos, settings, run, locked, _ = library
    first = search(run, settings, "similar", photos, "--verbose", "--json")
    assert first.returncode == 0, first.stderr
    again = search(run, settings, "similar", photos, "--verbose", "--json")
    assert "Using cached index" in again.stderr and "re-indexing" not in again.stderr
    assert json.loads(again.stdout)["unreadable_pictures"] == [str(locked)]

    locked.chmod(0o666)  # the permission alone changes: not the file's modification time
    fixed = search(run, settings, "similar", photos, "--json", "--limit", 20)
    document = json.loads(fixed.stdout)
    assert document["unreadable_pictures"] == []
    assert str(locked) in [entry["path"] for entry in document["results"]]
