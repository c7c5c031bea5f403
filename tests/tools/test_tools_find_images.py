"""The installed find-images command: its text and JSON results against the module's own
searches, the index command, exit statuses and the one-line messages for bad input."""

import json
import os
import re

import pytest
from testsupport import child_env, save_photo
from tools_support import run_find_images


def module_results(sil, command, query, folder, monkeypatch, limit=None):
    """What the module's own entry points return for the same search."""
    if command == "similar":
        if limit:
            monkeypatch.setattr(sil, "SEARCH_RESULT_LIMIT", limit)
        return sil.search_image(str(query), str(folder))
    return sil.cropped_search(str(query), str(folder))


@pytest.mark.slow
@pytest.mark.parametrize("command, limit", [("similar", None), ("similar", 2), ("crop", None), ("crop", 1)])
def test_json_results_are_the_module_results(
    command, limit, sil, photos, crop_of, find_images_json, monkeypatch
):
    source = photos / "garden" / "photo_2.jpg"
    query = source if command == "similar" else crop_of(source)
    plain = ["--plain"] if command == "crop" else []  # the module's own ranking
    document = find_images_json(command, query, photos, *plain, *(["--limit", limit] if limit else []))

    expected = module_results(sil, command, query, photos, monkeypatch, limit)[:limit]
    assert [result["path"] for result in document["results"]] == expected
    assert [result["rank"] for result in document["results"]] == list(range(1, len(expected) + 1))
    assert document["results"][0]["path"] == str(source)
    assert (document["command"], document["query"], document["folder"]) == (command, str(query), str(photos))
    assert document["elapsed_seconds"] >= 0
    scores = [result["score"] for result in document["results"]]
    if command == "similar":
        assert document["score"] == "distance"
        assert scores == sorted(scores) and scores[0] == pytest.approx(0, abs=1e-4)
    else:
        assert document["score"] == "matched keypoints"
        _, matches, _ = sil.live_search_similar_cropped(
            str(query), sil.get_images_absolute_path_recursive_a_directory(str(photos))
        )
        assert scores == [len(match.matched_points) for match in matches][: len(scores)]


@pytest.mark.slow
@pytest.mark.parametrize("command", ["similar", "crop"])
def test_text_results_are_aligned_lines_with_relative_paths(command, photos, crop_of, find_images):
    source = photos / "holiday" / "photo_3.png"
    query = source if command == "similar" else crop_of(source)
    text = find_images(command, query, photos)
    document = json.loads(find_images(command, query, photos, "--json").stdout)
    assert text.returncode == 0, text.stderr

    header, *lines = text.stdout.splitlines()
    assert header.split()[0] == "rank" and header.endswith("path")
    assert len(lines) == len(document["results"])
    path_column = header.index("path")
    for line, result in zip(lines, document["results"]):
        rank, score = line[:path_column].split()
        assert (int(rank), line[path_column:]) == (result["rank"], os.path.relpath(result["path"], photos))
        assert float(score) == pytest.approx(result["score"], abs=1e-4)
    assert lines[0][path_column:] == "holiday/photo_3.png"


@pytest.mark.slow
@pytest.mark.parametrize("folder", ["photos", "./photos/", "linked"])
def test_paths_are_shown_relative_to_the_folder_as_given(folder, photos, find_images, tmp_path):
    os.symlink(photos, tmp_path / "linked")
    result = find_images("similar", photos / "garden" / "photo_0.png", folder, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[1].endswith("  garden/photo_0.png")


@pytest.mark.slow
@pytest.mark.parametrize(
    "name, shown",
    [
        ("two\nlines.png", "two\\nlines.png"),
        ("bell\x07\x1b[31mred.png", "bell\\x07\\x1b[31mred.png"),
        (os.fsdecode(b"caf\xe9.png"), "caf\\xe9.png"),  # a byte that is not UTF-8
    ],
)
def test_unprintable_names_are_shown_escaped_one_line_each(name, shown, photos, find_images):
    save_photo(photos / name, 240, 180, seed=4)
    result = find_images("similar", photos / "garden" / "photo_4.png", photos)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 1 + 5  # header and SEARCH_RESULT_LIMIT results
    assert not any(char in result.stdout for char in "\x07\x1b")
    assert any(line.endswith(f"  {shown}") for line in lines)


@pytest.mark.slow
@pytest.mark.parametrize("as_module", [False, True])
def test_index_counts_indexed_and_left_out_pictures(as_module, photos, find_images, tmp_path):
    (photos / "garden" / "notes.jpg").write_text("not a picture")
    first = find_images("index", photos, as_module=as_module, cwd=tmp_path)
    assert first.returncode == 0, first.stderr
    assert first.stdout.splitlines()[0] == f"6 pictures indexed, 1 left out in {photos}"
    assert "  garden/notes.jpg" in first.stdout.splitlines()

    save_photo(photos / "garden" / "new.png", 200, 150, seed=11)
    document = json.loads(find_images("index", photos, "--json").stdout)
    assert (document["indexed"], document["left_out"]) == (7, [str(photos / "garden" / "notes.jpg")])


@pytest.mark.slow
@pytest.mark.parametrize("args", [["index"], ["similar", "QUERY"], ["crop", "QUERY"]])
def test_nothing_found_exits_1(args, find_images, tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    args = [str(save_photo(tmp_path / "q.png", 120, 90)) if arg == "QUERY" else arg for arg in args]
    result = find_images(*args, empty)
    assert result.returncode == 1, result.stderr
    assert "Traceback" not in result.stderr
    if args[0] != "index":
        assert result.stdout == ""


def test_crop_larger_than_every_picture_finds_nothing(photos, find_images, tmp_path):
    crop = save_photo(tmp_path / "huge.png", 400, 400, seed=9)
    result = find_images("crop", crop, photos, "--json")
    assert result.returncode == 1
    assert json.loads(result.stdout)["results"] == []


def bad_input(case, tmp_path, photos, settings):
    """(arguments, settings folder, text the message must hold) for one kind of bad input."""
    query = str(save_photo(tmp_path / "q.png", 100, 80))
    not_an_image = tmp_path / "notes.png"
    not_an_image.write_text("not a picture")
    broken_settings = tmp_path / "broken"
    broken_settings.mkdir()
    (broken_settings / "constants.py").write_text("CACHE_METADATA = 'x'\n")  # six names missing
    cases = {
        "missing folder": (["similar", query, tmp_path / "nowhere"], settings, "folder not found: "),
        "folder is a file": (["index", query], settings, "not a folder: "),
        "missing query": (["similar", tmp_path / "nothing.png", photos], settings, "query image not found: "),
        "query is a folder": (["similar", photos, photos], settings, "query image is not a file: "),
        "query not an image": (["similar", not_an_image, photos], settings, str(not_an_image)),
        "crop not an image": (["crop", not_an_image, photos], settings, str(not_an_image)),
        "no settings module": (["similar", query, photos], tmp_path, "--settings: no constants.py in "),
        "settings lack names": (["similar", query, photos], broken_settings, "--settings: "),
        "limit zero": (["similar", query, photos, "--limit", "0"], settings, "--limit"),
        "limit not a number": (["crop", query, photos, "--limit", "many"], settings, "--limit"),
        "report folder missing": (
            ["similar", query, photos, "--report", tmp_path / "no" / "r.html"],
            settings,
            "--report: folder not found: ",
        ),
        "unknown command": (["find", query, photos], settings, "invalid choice: 'find'"),
    }
    return cases[case]


@pytest.mark.slow
@pytest.mark.parametrize(
    "case",
    [
        "missing folder",
        "folder is a file",
        "missing query",
        "query is a folder",
        "query not an image",
        "crop not an image",
        "no settings module",
        "settings lack names",
        "limit zero",
        "limit not a number",
        "report folder missing",
        "unknown command",
    ],
)
def test_bad_input_is_one_line_naming_it_and_exit_2(case, tmp_path, photos, settings):
    args, settings_folder, expected = bad_input(case, tmp_path, photos, settings)
    result = run_find_images(*args, settings=settings_folder)
    assert result.returncode == 2, result.stderr
    assert result.stdout == ""
    assert len(result.stderr.splitlines()) == 1, result.stderr
    assert result.stderr.startswith("find-images: ") and expected in result.stderr


@pytest.mark.slow
def test_report_is_not_left_half_written_when_the_search_fails(tmp_path, photos, find_images):
    not_an_image = tmp_path / "notes.png"
    not_an_image.write_text("not a picture")
    report = tmp_path / "report.html"
    result = find_images("similar", not_an_image, photos, "--report", report)
    assert result.returncode == 2
    assert list(tmp_path.glob("*report.html*")) == []


@pytest.mark.slow
@pytest.mark.parametrize("relative", [False, True])
def test_default_settings_keep_the_caches_in_the_users_cache_folder(relative, photos, tmp_path):
    env = child_env(tests_path=False)
    env["HOME"] = str(tmp_path / "home")
    env["XDG_CACHE_HOME"] = "relative/cache" if relative else str(tmp_path / "xdg")
    result = run_find_images("index", photos, env=env, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    cache = (tmp_path / "home" / ".cache" if relative else tmp_path / "xdg") / "search_index_lib"
    assert sorted(path.name for path in cache.iterdir() if path.suffix == ".faiss") == [
        "similarity_index.faiss"
    ]
    assert not (tmp_path / "relative").exists()


@pytest.mark.slow
def test_module_log_lines_only_with_verbose(photos, find_images):
    quiet = find_images("index", photos)
    verbose = find_images("index", photos, "--verbose")
    assert "indexing" not in quiet.stderr.lower()
    assert re.search(r"Using cached index|re-indexing", verbose.stderr)
