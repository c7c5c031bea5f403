"""The duplicate finder on folders as they are in real life: move targets that cannot be
used, reference folders given the wrong way round, logs damaged or edited by hand, folders
that cannot be written, pictures reached through symbolic links and files that cannot be
read."""

import json
import os
import shutil
import time

import pytest
from duplicates_support import copy_of
from testsupport import save_photo

from search_index_tools import find_duplicates
from search_index_tools.duplicates import actions
from search_index_tools.duplicates.reading import content_stamp


@pytest.fixture
def pair(tmp_path):
    """A photograph and a smaller copy of it in a sub-folder."""
    folder = tmp_path / "photos"
    save_photo(folder / "big.png", 240, 180, seed=4)
    copy_of(folder / "big.png", folder / "copies" / "small.jpg", 120, 90)
    return folder


def files_under(folder):
    return sorted(str(path.relative_to(folder)) for path in folder.rglob("*") if not path.is_dir())


# ------------------------------------------------------------------ refused before the scan


def _refused_case(case, pair, tmp_path):
    """(folder, arguments, what the one line says) of a command refused before the scan."""
    if case == "move_to_under_a_file":
        (tmp_path / "a_file").write_text("not a folder")
        return (
            pair,
            ["--move-to", tmp_path / "a_file" / "moved"],
            f"--move-to: {tmp_path / 'a_file'} is not a folder",
        )
    if case == "move_to_through_a_link_into_the_folder":
        (tmp_path / "link").symlink_to(pair)
        return pair, ["--move-to", tmp_path / "link" / "moved"], "overlaps the scanned folder"
    if case == "folder_inside_the_reference":
        return (
            pair / "copies",
            ["--reference", pair],
            f"--reference: {pair} holds the folder {pair / 'copies'}",
        )
    if case == "folder_is_the_reference":
        return pair, ["--reference", pair], f"--reference: {pair} holds the folder {pair}"
    if case == "folder_is_a_link_into_the_reference":
        (tmp_path / "copies_link").symlink_to(pair / "copies")
        return tmp_path / "copies_link", ["--reference", pair], f"holds the folder {tmp_path / 'copies_link'}"
    assert case == "keep_under_a_missing_folder"
    return pair, ["--keep", f"under:{pair / 'copeis'}"], f"--keep: folder not found: {pair / 'copeis'}"


@pytest.mark.parametrize(
    "case",
    [
        "move_to_under_a_file",
        "move_to_through_a_link_into_the_folder",
        "folder_inside_the_reference",
        "folder_is_the_reference",
        "folder_is_a_link_into_the_reference",
        "keep_under_a_missing_folder",
    ],
)
def test_arguments_that_cannot_work_are_refused_before_the_scan(find_images, pair, tmp_path, case):
    folder, arguments, said = _refused_case(case, pair, tmp_path)
    before = files_under(pair)
    result = find_images("duplicates", folder, *arguments)
    assert result.returncode == 2, result.stderr
    [line] = result.stderr.splitlines()
    assert said in line
    assert result.stdout == ""
    assert files_under(pair) == before


def test_the_api_refuses_a_folder_held_by_a_reference(sil, pair):
    with pytest.raises(ValueError, match="holds the folder"):
        find_duplicates(pair / "copies", references=[pair], use_store=False)


def test_a_move_target_in_a_folder_that_cannot_be_written_is_refused(unprivileged, settings):
    base, run = unprivileged
    save_photo(base / "photos" / "big.png", 240, 180, seed=4)
    copy_of(base / "photos" / "big.png", base / "photos" / "small.jpg", 120, 90)
    (base / "locked").mkdir()
    for path in [base, *base.rglob("*")]:
        path.chmod(0o777 if path.is_dir() else 0o666)
    (base / "locked").chmod(0o555)
    target = base / "locked" / "moved"
    result = run("duplicates", base / "photos", "--move-to", target, settings_folder=settings)
    assert result.returncode == 2, result.stderr
    assert result.stderr.strip() == (
        f"find-images: --move-to: {target} cannot be made in {base / 'locked'} (permission denied)"
    )
    assert sorted(os.listdir(base / "photos")) == ["big.png", "small.jpg"]


def test_a_reference_inside_the_folder_is_the_library_and_the_reason_says_so(sil, pair, tmp_path):
    copy_of(pair / "big.png", pair / "library" / "old.png", 120, 90)  # fewer pixels than big.png
    [group] = find_duplicates(pair, references=[pair / "library"], use_store=False)
    assert group.keep == str(pair / "library" / "old.png")
    assert group.reason.startswith("in the reference library, then ")


def test_a_library_reached_through_a_link_is_never_acted_on(find_images, tmp_path):
    """The library lies inside the scanned folder and is given through a link: each of its
    pictures is listed once, under the scanned folder's path, and is the library's all the
    same (kept, never moved), though the new copy has more pixels."""
    photos = tmp_path / "photos"
    library_picture = save_photo(photos / "library" / "old.png", 120, 90, seed=8)
    copy_of(library_picture, photos / "new" / "big.png", 240, 180)
    (tmp_path / "library_link").symlink_to(photos / "library")
    before = library_picture.read_bytes()
    result = find_images(
        "duplicates",
        photos,
        "--reference",
        tmp_path / "library_link",
        "--move-to",
        tmp_path / "moved",
        "--json",
    )
    assert result.returncode == 0, result.stderr
    [group] = json.loads(result.stdout)["groups"]
    assert group["keep"] == str(library_picture)
    assert library_picture.read_bytes() == before
    assert not (photos / "new" / "big.png").exists() and (tmp_path / "moved" / "new" / "big.png").exists()


# -------------------------------------------------------------------------- damaged logs


HEADER = {"kind": actions.LOG_KIND, "version": 1, "started": 0}


@pytest.mark.parametrize(
    "entry",
    [
        '{"move": "SOURCE"}',  # cut short by hand
        "[1, 2]",
        "7",
        '{"move": "SOURCE", "to": "DESTINATION", "size": 3, "stamp": "not hex"}',
        '{"move": 3, "to": "DESTINATION", "size": 3, "stamp": "00"}',
        '{"move": "SOURCE", "to": "DESTINATION", "size": "3", "stamp": "00"}',
        '{"move": "relative/name.jpg", "to": "DESTINATION", "size": 3, "stamp": "00"}',
        "",
    ],
)
def test_undo_refuses_a_log_with_a_damaged_entry(find_images, tmp_path, entry):
    target = tmp_path / "moved"
    target.mkdir()
    log = target / "find-images-moves-1.log"
    entry = entry.replace("SOURCE", str(tmp_path / "a.jpg")).replace("DESTINATION", str(target / "a.jpg"))
    log.write_text(json.dumps({**HEADER, "target": str(target)}) + "\n" + entry + "\n" + '{"moved": 1}\n')
    result = find_images("undo", log)
    assert result.returncode == 2, result.stderr
    assert result.stderr.strip() == f"find-images: {log}: line 2 is not a log entry"


@pytest.mark.parametrize("header", ["[1]", '"text"', json.dumps(HEADER), json.dumps({**HEADER, "target": 5})])
def test_undo_refuses_what_is_no_log(find_images, tmp_path, header):
    log = tmp_path / "moves.log"
    log.write_text(header + "\n")
    result = find_images("undo", log)
    assert result.returncode == 2
    assert "not a move log" in result.stderr and "Traceback" not in result.stderr


@pytest.mark.parametrize("to", ["elsewhere/a.jpg", "moved/../elsewhere/a.jpg"])
def test_undo_moves_nothing_from_outside_the_logs_folder(tmp_path, to):
    """A log edited to name a file outside its target folder would have undo move any file
    whose digest it knows to any place: refused."""
    (tmp_path / "moved").mkdir()
    stranger = tmp_path / "elsewhere" / "a.jpg"
    save_photo(stranger, 64, 48, seed=2)
    entry = {
        "move": str(tmp_path / "home" / "a.jpg"),
        "to": str(tmp_path) + "/" + to,
        "size": stranger.stat().st_size,
        "mtime_ns": 0,
        "stamp": content_stamp(stranger.read_bytes()).hex(),
    }
    log = tmp_path / "moved" / "moves.log"
    log.write_text(
        json.dumps({**HEADER, "target": str(tmp_path / "moved")}) + "\n" + json.dumps(entry) + "\n"
    )
    with pytest.raises(actions.ActionError, match="line 2 is not a log entry"):
        actions.undo(str(log), on_refuse=lambda *a: None)
    assert stranger.exists() and not (tmp_path / "home").exists()


def test_undo_puts_nothing_back_for_a_move_the_log_says_failed(tmp_path):
    """A move that failed after its new name was made left that name on the picture still in
    its place: undo removes the stray name and counts nothing as put back."""
    source, target = tmp_path / "a.jpg", tmp_path / "moved"
    save_photo(source, 64, 48, seed=1)
    target.mkdir()
    os.link(source, target / "a.jpg")
    move = {
        "move": str(source),
        "to": str(target / "a.jpg"),
        "size": source.stat().st_size,
        "mtime_ns": 0,
        "stamp": content_stamp(source.read_bytes()).hex(),
    }
    lines = [{**HEADER, "target": str(target)}, move, {"moved": str(source), "ok": False}]
    log = target / "moves.log"
    log.write_text("".join(json.dumps(line) + "\n" for line in lines))
    summary = actions.undo(str(log), on_refuse=lambda *a: pytest.fail(f"refused {a}"))
    assert (summary.done, summary.skipped) == (0, 0)
    assert source.exists() and not (target / "a.jpg").exists()


# ------------------------------------------------------------- folders that cannot be written


@pytest.fixture
def locked_copies(unprivileged, settings):
    """A photograph and its copy in a folder the command may read but not write; returns
    (photos, run, base)."""
    base, run = unprivileged
    photos = base / "photos"
    save_photo(photos / "big.png", 240, 180, seed=4)
    copy_of(photos / "big.png", photos / "locked" / "small.jpg", 120, 90)
    for path in [base, *base.rglob("*")]:
        path.chmod(0o777 if path.is_dir() else 0o666)
    (photos / "locked").chmod(0o555)

    def run_here(*args):
        return run(*args, settings_folder=settings)

    return photos, run_here, base


@pytest.mark.parametrize("where", ["same_file_system", "another_file_system"])
def test_a_move_that_cannot_remove_the_picture_leaves_no_second_copy(locked_copies, where):
    photos, run, base = locked_copies
    if where == "another_file_system":
        if not os.path.isdir("/dev/shm") or os.stat("/dev/shm").st_dev == os.stat(base).st_dev:
            pytest.fail("this test needs /dev/shm on a file system of its own")
        target = f"/dev/shm/find-images-test-{os.getpid()}-{time.monotonic_ns()}"
    else:
        target = str(base / "moved")
    try:
        result = run("duplicates", photos, "--move-to", target)
        assert result.returncode == 0, result.stderr
        assert f"skipped {photos / 'locked' / 'small.jpg'}: it could not be moved" in result.stderr
        assert (photos / "locked" / "small.jpg").exists()
        left = [name for _, _, names in os.walk(target) for name in names if not name.endswith(".log")]
        assert left == []  # neither a second name of the picture nor a copy of it
        [log] = [name for name in os.listdir(target) if name.endswith(".log")]
        undone = run("undo", os.path.join(target, log))
        assert undone.returncode == 0, undone.stderr
        assert "0 pictures put back, 0 not" in undone.stderr
    finally:
        if where == "another_file_system":
            shutil.rmtree(target, ignore_errors=True)


@pytest.mark.parametrize("action", ["--hardlink", "--move-to another file system"])
@pytest.mark.parametrize("name", ["x" * 246 + ".jpg", "é" * 123 + ".jpg"])  # 250 bytes, the most is 255
def test_a_copy_with_a_name_of_the_longest_length_is_acted_on(find_images, pair, action, name):
    copy = pair / "copies" / name
    os.replace(pair / "copies" / "small.jpg", copy)
    target = f"/dev/shm/find-images-test-{os.getpid()}-{time.monotonic_ns()}"
    if action != "--hardlink" and os.stat("/dev/shm").st_dev == os.stat(pair).st_dev:
        pytest.fail("this test needs /dev/shm on a file system of its own")
    words = ["--hardlink"] if action == "--hardlink" else ["--move-to", target]
    try:
        result = find_images("duplicates", pair, *words)
        assert result.returncode == 0, result.stderr
        assert "0 skipped" in result.stderr, result.stderr
        if action == "--hardlink":
            assert os.path.samefile(copy, pair / "big.png")
        else:
            assert not copy.exists() and os.path.exists(os.path.join(target, "copies", name))
        assert os.listdir(pair / "copies") == ([name] if action == "--hardlink" else [])
    finally:
        shutil.rmtree(target, ignore_errors=True)


# --------------------------------------------------------------------------- symbolic links


def test_a_picture_is_listed_under_its_own_name_rather_than_a_link_to_it(sil, pair):
    # Top-level files come first in the walk: the link is seen before the picture it names.
    (pair / "a_link.jpg").symlink_to(pair / "copies" / "small.jpg")
    [group] = find_duplicates(pair, use_store=False)
    assert group.paths == [str(pair / "big.png"), str(pair / "copies" / "small.jpg")]


@pytest.mark.parametrize("action", ["--move-to", "--trash", "--hardlink"])
def test_a_copy_reached_only_through_a_link_is_not_acted_on(find_images, pair, tmp_path, action):
    outside = tmp_path / "outside" / "small.jpg"
    outside.parent.mkdir()
    os.replace(pair / "copies" / "small.jpg", outside)
    (pair / "copies" / "small.jpg").symlink_to(outside)
    env = {**os.environ, "XDG_DATA_HOME": str(tmp_path / "data"), "HOME": str(tmp_path / "home")}
    env.pop("PYTHONPATH", None)
    (tmp_path / "data").mkdir()
    (tmp_path / "home").mkdir()
    words = [action, tmp_path / "moved"] if action == "--move-to" else [action]
    result = find_images("duplicates", pair, *words, env=env)
    assert result.returncode == 0, result.stderr
    link = pair / "copies" / "small.jpg"
    assert f"skipped {link}: it is a symbolic link (to {outside}), not the picture itself" in result.stderr
    assert link.is_symlink() and os.readlink(link) == str(outside)
    assert outside.exists() and os.stat(outside).st_nlink == 1
    assert os.listdir(tmp_path / "data") == []


# ----------------------------------------------------------------------- left out in silence


def test_what_could_not_be_compared_is_counted_and_named(locked_copies):
    photos, run, _ = locked_copies
    (photos / "empty.jpg").write_bytes(b"")
    (photos / "notes.png").write_text("not a picture")
    (photos / "private").mkdir()
    save_photo(photos / "private" / "p.png", 120, 90, seed=1)
    (photos / "private").chmod(0)
    result = run("duplicates", photos)
    assert result.returncode == 0, result.stderr
    assert "2 files could not be read as pictures and were left out (--verbose names them)" in result.stderr
    assert "1 folder could not be read, so the pictures in it were not compared" in result.stderr
    named = run("duplicates", photos, "--verbose")
    assert f"left out {photos / 'empty.jpg'}" in named.stderr
    assert f"left out {photos / 'notes.png'}" in named.stderr
    assert f"cannot read {photos / 'private'}: Permission denied" in named.stderr
    assert run("duplicates", photos, "--quiet").stderr == ""


# ------------------------------------------------------------------------ the text listing


@pytest.mark.parametrize(
    "folders, files, shown",
    [
        # Two cameras that both name their files from IMG_0001: which one is kept must show.
        (["phone", "camera"], ["phone/DCIM/IMG_0001.png", "camera/DCIM/IMG_0001.png"], None),
        (
            ["photos", "photos/new"],
            ["photos/IMG_0001.png", "photos/new/IMG_0001.png"],
            ["IMG_0001.png", "new/IMG_0001.png"],
        ),
        (
            ["photos"],
            ["photos/a/IMG_0001.png", "photos/a/b/IMG_0001.png"],
            ["a/IMG_0001.png", "a/b/IMG_0001.png"],
        ),
    ],
)
def test_the_listing_tells_every_picture_of_a_group_apart(find_images, tmp_path, folders, files, shown):
    original = save_photo(tmp_path / files[0], 240, 180, seed=6)
    copy_of(original, tmp_path / files[1], 120, 90)
    result = find_images("duplicates", *[tmp_path / folder for folder in folders])
    assert result.returncode == 0, result.stderr
    listed = [line.split()[-1] for line in result.stdout.splitlines() if line.startswith("  ")]
    assert listed == (shown or files)  # the keeper (most pixels) first
