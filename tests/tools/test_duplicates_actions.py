"""Acting on duplicate groups: nothing changes without an action, every action and its undo,
files changed between scan and action skipped, references and keepers never touched, and an
interrupted move recovered by undo."""

import json
import os
import signal

import pytest
from duplicates_support import copy_of
from testsupport import save_photo

from search_index_tools import scan_duplicates
from search_index_tools.duplicates import actions


@pytest.fixture
def library(tmp_path):
    """Two groups (a keeper and two copies each) and a picture of its own."""
    folder = tmp_path / "photos"
    for seed in (1, 2):
        save_photo(folder / f"keep_{seed}.png", 320, 240, seed=seed)
        copy_of(folder / f"keep_{seed}.png", folder / "copies" / f"small_{seed}.jpg", 160, 120)
        copy_of(
            folder / f"keep_{seed}.png",
            folder / "copies" / "deeper" / f"mirror_{seed}.png",
            200,
            150,
            mirrored=True,
        )
    save_photo(folder / "alone.png", 320, 240, seed=9)
    return folder


def snapshot(folder):
    """Every file under `folder` with its bytes and times."""
    found = {}
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            status = os.stat(path)
            with open(path, "rb") as file:
                found[os.path.relpath(path, folder)] = (file.read(), status.st_mtime_ns, status.st_ino)
    return found


COPIES = [
    "copies/small_1.jpg",
    "copies/deeper/mirror_1.png",
    "copies/small_2.jpg",
    "copies/deeper/mirror_2.png",
]


def test_without_an_action_nothing_changes(find_images, library, tmp_path):
    before = snapshot(library)
    result = find_images("duplicates", library, "--report", tmp_path / "r.html")
    assert result.returncode == 0, result.stderr
    assert snapshot(library) == before


def test_move_then_undo(find_images, library, tmp_path):
    before = snapshot(library)
    target = tmp_path / "moved"
    result = find_images("duplicates", library, "--move-to", target)
    assert result.returncode == 0, result.stderr
    for copy in COPIES:
        assert not (library / copy).exists()
        assert (target / copy).read_bytes() == before[copy][0]  # same path relative to its folder
    assert {"keep_1.png", "keep_2.png", "alone.png"} <= set(os.listdir(library))
    [log] = target.glob("find-images-moves-*.log")
    assert f"undo {log}" in result.stderr
    entries = [json.loads(line) for line in log.read_text().splitlines()]
    assert sorted(entry["move"] for entry in entries if "move" in entry) == sorted(
        str(library / c) for c in COPIES
    )

    undone = find_images("undo", log)
    assert undone.returncode == 0, undone.stderr
    assert snapshot(library) == before  # same bytes, times and files
    again = find_images("undo", log)  # nothing left to do
    assert again.returncode == 0, again.stderr


def test_move_never_overwrites(find_images, library, tmp_path):
    target = tmp_path / "moved"
    (target / "copies").mkdir(parents=True)
    (target / "copies" / "small_1.jpg").write_bytes(b"already here")
    result = find_images("duplicates", library, "--move-to", target)
    assert result.returncode == 0
    assert (target / "copies" / "small_1.jpg").read_bytes() == b"already here"
    assert (library / "copies" / "small_1.jpg").exists()
    assert f"skipped {library / 'copies' / 'small_1.jpg'}" in result.stderr


def test_undo_refuses_where_something_stands_in_the_place(find_images, library, tmp_path):
    target = tmp_path / "moved"
    assert find_images("duplicates", library, "--move-to", target).returncode == 0
    (library / "copies" / "small_1.jpg").write_bytes(b"a new file in the old place")
    [log] = target.glob("find-images-moves-*.log")
    result = find_images("undo", log)
    assert result.returncode == 1
    assert f"not put back {library / 'copies' / 'small_1.jpg'}" in result.stderr
    assert (library / "copies" / "small_1.jpg").read_bytes() == b"a new file in the old place"
    assert (target / "copies" / "small_1.jpg").exists()
    assert (library / "copies" / "deeper" / "mirror_1.png").exists()  # the others went back


def test_trash(find_images, library, tmp_path):
    env = {**os.environ, "XDG_DATA_HOME": str(tmp_path / "data"), "HOME": str(tmp_path / "home")}
    env.pop("PYTHONPATH", None)
    (tmp_path / "data").mkdir()  # the trash goes where the data folder is, on the pictures' file system
    (tmp_path / "home").mkdir()
    result = find_images("duplicates", library, "--trash", env=env)
    assert result.returncode == 0, result.stderr
    trashed = sorted(os.listdir(tmp_path / "data" / "Trash" / "files"))
    assert trashed == sorted(os.path.basename(copy) for copy in COPIES)
    assert not any((library / copy).exists() for copy in COPIES)
    assert (library / "keep_1.png").exists() and (library / "alone.png").exists()


def test_hardlink(find_images, library):
    result = find_images("duplicates", library, "--hardlink")
    assert result.returncode == 0, result.stderr
    for seed in (1, 2):
        keeper = os.stat(library / f"keep_{seed}.png")
        for copy in COPIES:
            if copy.endswith(f"_{seed}.jpg") or copy.endswith(f"_{seed}.png"):
                assert os.stat(library / copy).st_ino == keeper.st_ino
    assert not [name for name in os.listdir(library / "copies") if name.startswith(".")]  # no temporary left
    # A second scan sees each keeper once: its links are the same file.
    assert find_images("duplicates", library).returncode == 1


def test_reference_pictures_are_never_touched(find_images, library, tmp_path):
    new = tmp_path / "new"
    copy_of(library / "keep_1.png", new / "big_1.png", 640, 480)
    before = snapshot(library)
    result = find_images("duplicates", new, "--reference", library, "--move-to", tmp_path / "moved", "--json")
    assert result.returncode == 0, result.stderr
    assert snapshot(library) == before
    assert not (new / "big_1.png").exists()  # the new copy goes, though it has more pixels
    [group] = json.loads(result.stdout)["groups"]
    assert group["keep"].startswith(str(library))


@pytest.mark.parametrize("change", ["rewritten", "touched", "removed", "keeper_removed"])
def test_a_file_changed_after_the_scan_is_skipped(sil, library, tmp_path, change):
    scan = scan_duplicates(library)
    victim = library / "copies" / "small_1.jpg"
    if change == "rewritten":
        data = bytearray(victim.read_bytes())
        data[-3] ^= 0xFF
        status = os.stat(victim)
        victim.write_bytes(bytes(data))
        os.utime(victim, ns=(status.st_atime_ns, status.st_mtime_ns))  # same size and mtime
    elif change == "touched":
        os.utime(victim, ns=(1, 1))
    elif change == "removed":
        victim.unlink()
    else:
        (library / "keep_1.png").unlink()
    skipped = []
    summary = actions.apply(
        actions.Plan("move", str(tmp_path / "moved")), scan, on_skip=lambda path, why: skipped.append(path)
    )
    touched_group = [str(victim)] + (
        [str(library / "copies" / "deeper" / "mirror_1.png")] if change == "keeper_removed" else []
    )
    assert sorted(skipped) == sorted(touched_group)
    assert summary.done == 4 - len(touched_group)
    if change in ("rewritten", "touched"):
        assert victim.exists() and not (tmp_path / "moved" / "copies" / "small_1.jpg").exists()


def test_an_interrupted_move_is_whole_and_undone(sil, library, tmp_path, monkeypatch):
    """Ctrl-C arriving in the middle of a move is held until that move is done; undo then
    puts back everything the log names."""
    before = snapshot(library)
    scan = scan_duplicates(library)
    real_place, calls = actions._place, []

    def place_then_interrupt(source, destination):
        calls.append(source)
        if len(calls) == 2:
            os.kill(os.getpid(), signal.SIGINT)  # arrives between the link and the unlink
        real_place(source, destination)

    monkeypatch.setattr(actions, "_place", place_then_interrupt)
    target = tmp_path / "moved"
    with pytest.raises(KeyboardInterrupt):
        actions.apply(actions.Plan("move", str(target)), scan, on_skip=lambda *a: None)
    assert len(calls) == 2
    moved = [copy for copy in COPIES if (target / copy).exists()]
    assert len(moved) == 2 and all(not (library / copy).exists() for copy in moved)
    [log] = target.glob("find-images-moves-*.log")
    summary = actions.undo(str(log), on_refuse=lambda *a: pytest.fail(f"refused {a}"))
    assert summary.done == 2
    assert snapshot(library) == before


def test_undo_finishes_a_move_cut_between_link_and_unlink(tmp_path):
    """A move killed after the new name was made and before the old one was removed leaves
    both names on one file; undo removes the new name."""
    source, target = tmp_path / "a.jpg", tmp_path / "moved" / "a.jpg"
    save_photo(source, 64, 48, seed=1)
    target.parent.mkdir()
    os.link(source, target)
    from search_index_tools.duplicates.reading import content_stamp

    log = tmp_path / "moves.log"
    log.write_text(
        json.dumps({"kind": actions.LOG_KIND, "version": 1, "target": str(target.parent)})
        + "\n"
        + json.dumps(
            {
                "move": str(source),
                "to": str(target),
                "size": source.stat().st_size,
                "mtime_ns": 0,
                "stamp": content_stamp(source.read_bytes()).hex(),
            }
        )
        + "\n"
        + '{"moved": "cut sh'
    )
    assert actions.undo(str(log), on_refuse=lambda *a: pytest.fail(f"refused {a}")).done == 1
    assert source.exists() and not target.exists()


def test_undo_of_something_that_is_no_log(find_images, tmp_path):
    (tmp_path / "notes.txt").write_text("hello\n")
    result = find_images("undo", tmp_path / "notes.txt")
    assert result.returncode == 2 and "not a move log" in result.stderr


def test_undo_json_names_what_went_back_and_what_stayed(find_images, library, tmp_path):
    target = tmp_path / "moved"
    assert find_images("duplicates", library, "--move-to", target).returncode == 0
    [log] = target.glob("find-images-moves-*.log")
    blocked = library / "copies" / "small_1.jpg"
    blocked.write_bytes(b"a new file in the old place")
    result = find_images("--json", "undo", log)
    assert result.returncode == 1
    document = json.loads(result.stdout)  # the whole of standard output is the document
    assert set(document) == {"command", "log", "put_back", "not_put_back", "elapsed_seconds"}
    assert document["command"] == "undo" and document["log"] == str(log)
    assert sorted(document["put_back"]) == sorted(str(library / c) for c in COPIES if library / c != blocked)
    assert all(os.path.exists(path) for path in document["put_back"])
    [stayed] = document["not_put_back"]
    assert stayed["path"] == str(blocked) and stayed["reason"]
