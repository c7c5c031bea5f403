"""The command's checks and conventions: a bad query refused before any folder work, huge
limits, index then search without a second build, cache folders named in their errors,
--cache-dir, --version, the subcommands' help, --paths and --print0."""

import json
import os

import pytest
from PIL import Image
from testsupport import child_env, quick_first, save_photo
from tools_support import run_find_images


def bad_query(kind, tmp_path):
    path = tmp_path / f"query_{kind.replace(' ', '_')}.png"
    if kind == "not a picture":
        path.write_text("not a picture")
    elif kind == "flat crop":
        Image.new("RGB", (160, 120), (120, 130, 140)).save(path)
    return path


@pytest.mark.parametrize(
    "command, kind, expected",
    [
        ("similar", "not a picture", "cannot identify image file"),
        ("crop --plain", "not a picture", "crop image cannot be read as a picture"),
        ("crop --plain", "flat crop", "crop image has no keypoints to match"),
        ("crop", "not a picture", "crop image cannot be read as a picture"),
        ("crop", "flat crop", "crop image has nothing to match"),
    ],
)
def test_bad_query_is_refused_before_any_folder_work(command, kind, expected, photos, find_images, tmp_path):
    query = bad_query(kind, tmp_path)
    words = command.split()
    result = find_images(words[0], query, photos, *words[1:], "--verbose")
    assert result.returncode == 2, result.stderr
    assert expected in result.stderr and str(query) in result.stderr
    # The folder was never read: no index nor fingerprint (the query's own vector may be
    # kept in the feature store), and for a crop not even a store.
    left = os.listdir(tmp_path / "cli_cache")
    assert not {"index.faiss", "metadata.txt"} & set(left)
    assert left == [] or command == "similar"
    assert "indexing" not in result.stderr.lower()


@pytest.mark.parametrize("command", ["similar", "crop", "crop --plain"])
@pytest.mark.parametrize("limit", quick_first(10**40, 99999999999))
def test_a_huge_limit_gives_every_picture(command, limit, photos, crop_of, find_images_json):
    source = photos / "garden" / "photo_2.jpg"
    words = command.split()
    query = source if command == "similar" else crop_of(source)
    every = find_images_json(words[0], query, photos, *words[1:], "--limit", 6)["results"]
    assert find_images_json(words[0], query, photos, *words[1:], "--limit", limit)["results"] == every
    assert len(every) == 6 or command == "crop"


def test_index_leaves_caches_the_next_search_reuses(photos, find_images):
    indexed = find_images("index", photos, "--verbose")
    assert indexed.returncode == 0, indexed.stderr
    assert "There is no cached index" in indexed.stderr
    searched = find_images("similar", photos / "garden" / "photo_0.png", photos, "--verbose")
    assert searched.returncode == 0, searched.stderr
    assert "Using cached index" in searched.stderr
    assert "re-indexing" not in searched.stderr


@pytest.mark.parametrize("settings_given", [False, True])
def test_an_unwritable_cache_folder_is_named_as_the_cause(settings_given, unprivileged, settings):
    base, run = unprivileged
    home = base / "home"
    (home / ".cache").mkdir(parents=True)
    (home / ".cache").chmod(0o555)
    picture_folder = base / "photos"
    save_photo(picture_folder / "a.png", 120, 90, seed=1)
    for path in [picture_folder, *picture_folder.rglob("*")]:
        path.chmod(0o777 if path.is_dir() else 0o666)
    own = None
    if settings_given:
        own = base / "settings"
        own.mkdir(mode=0o777)
        (base / "locked_cache").mkdir(mode=0o555)
        text = settings.joinpath("constants.py").read_text()
        text = text.replace(str(settings.parent / "cli_cache"), str(base / "locked_cache"))
        (own / "constants.py").write_text(text)
        (own / "constants.py").chmod(0o644)
        (base / "locked_cache").chmod(0o555)
    result = run("index", picture_folder, settings_folder=own)
    assert result.returncode == 2, result.stderr
    folder = base / "locked_cache" if settings_given else home / ".cache" / "search_index_lib"
    expected = (
        f"cache folder not found: {folder}"
        if not settings_given
        else f"cache folder is not writable: {folder}"
    )
    assert expected in result.stderr, result.stderr
    assert ("--settings" in result.stderr) == settings_given
    assert len(result.stderr.splitlines()) == 1

    elsewhere = base / "elsewhere"
    moved = run("index", picture_folder, "--cache-dir", elsewhere, settings_folder=own)
    assert moved.returncode == 0, moved.stderr
    assert sorted(path.name for path in elsewhere.iterdir() if not path.name.endswith(("-wal", "-shm"))) == [
        "folder_fingerprint.txt",
        "similarity_index.faiss",
        "similarity_index.faiss.features.sqlite",
        "similarity_index.faiss.rows.json",
    ]


@pytest.mark.parametrize("start_method", quick_first("fork", "spawn"))
def test_cache_dir_holds_every_cache_file(start_method, photos, crop_of, tmp_path):
    env = child_env(tests_path=False)
    env["HOME"] = str(tmp_path / "home")
    code = (
        f"import multiprocessing, sys; multiprocessing.set_start_method({start_method!r}); "
        "from search_index_tools.cli import main; sys.exit(main())"
    )
    import subprocess
    import sys

    cache = tmp_path / "chosen"
    for args in (["index", photos], ["crop", crop_of(photos / "garden" / "photo_2.jpg"), photos]):
        result = subprocess.run(
            [sys.executable, "-c", code, "--cache-dir", str(cache), *map(str, args)],
            env=env,
            cwd=tmp_path,
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert result.returncode == 0, result.stderr
    assert not (
        tmp_path / "home" / ".cache" / "search_index_lib" / "similarity_index.faiss.features.sqlite"
    ).exists()
    assert (cache / "similarity_index.faiss.features.sqlite").exists()


def test_version_and_help_state_what_applies():
    version = run_find_images("--version")
    assert version.returncode == 0 and version.stdout.startswith("find-images 0.")
    similar = run_find_images("similar", "--help").stdout
    crop = run_find_images("crop", "--help").stdout
    index = run_find_images("index", "--help").stdout
    flat = [" ".join(text.split()) for text in (similar, crop, index)]
    assert "default: SEARCH_RESULT_LIMIT of the settings, 10 with the default ones" in flat[0]
    assert "25" not in similar
    assert "default: 25" in flat[1]
    assert "--limit" not in index and "--report" not in index
    assert "--cache-dir" in similar and "--paths" in similar and "--print0" in crop


@pytest.mark.parametrize(
    "switch, separator", quick_first(("--paths", "\n"), ("--print0", "\0"), ("-0", "\0"))
)
def test_paths_only_for_pipes(switch, separator, photos, find_images):
    odd = photos / "garden" / os.fsdecode(b"new\nline \xe9.png" if separator == "\0" else b"odd \xe9.png")
    save_photo(odd, 240, 180, seed=2)
    query = photos / "garden" / "photo_2.jpg"
    expected = [
        entry["path"]
        for entry in json.loads(find_images("similar", query, photos, "--json").stdout)["results"]
    ]
    result = find_images("similar", query, photos, switch, text=False)
    assert result.returncode == 0, result.stderr
    paths = result.stdout.split(separator.encode())
    assert paths[-1] == b"" and [os.fsdecode(path) for path in paths[:-1]] == expected
    if separator == "\0":
        assert os.fsencode(odd) in paths
    refused = find_images("similar", query, photos, switch, "--json")
    assert refused.returncode == 2 and "--json" in refused.stderr
