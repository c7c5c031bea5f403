"""index_a_directory: the three roads, the row manifest, dropped files, cache failures."""

import json
import os
import re
import types
from pathlib import Path

import faiss
import pytest
from index_support import (
    DONE,
    ROAD_CHANGED,
    ROAD_NO_INDEX,
    ROAD_REUSE,
    ROAD_STALE_MANIFEST,
    count_line,
    make_reusable,
    messages,
    not_an_image,
    photo_folder,
)


def manifest_path(sil):
    return sil.CACHED_INDEXED + ".rows.json"


def paths(records):
    return [r.image_path for r in records]


@pytest.mark.parametrize(
    "road", ["no index file", "fingerprint missing", "fingerprint of another listing", "unchanged"]
)
def test_roads_log_exactly_their_messages(sil, tmp_path, logs, cache_files, road):
    metadata, index = cache_files
    folder = tmp_path / "photos"
    photo_folder(folder, 3)
    if road != "no index file":
        sil.index_a_directory(str(folder))  # writes the index file, not the fingerprint
    if road == "fingerprint of another listing":
        metadata.write_text("0" * 32)
    if road == "unchanged":
        sil.index_a_directory(str(folder))
    before = metadata.read_text() if metadata.exists() else None
    logs.clear()

    db, files = sil.index_a_directory(str(folder))

    expected = {
        "no index file": [ROAD_NO_INDEX, count_line(3), DONE],
        "fingerprint missing": [ROAD_CHANGED, count_line(3), DONE],
        "fingerprint of another listing": [ROAD_CHANGED, count_line(3), DONE],
        "unchanged": [ROAD_REUSE],
    }[road]
    assert messages(logs) == expected
    assert isinstance(db, faiss.IndexFlatL2) and db.ntotal == len(files) == 3
    if road == "no index file":
        assert before is None and not metadata.exists()  # the fingerprint file is left alone
    elif road == "unchanged":
        assert metadata.read_text() == before
    else:
        assert metadata.read_text() != before and len(metadata.read_text()) == 32
    assert index.exists() and Path(manifest_path(sil)).exists()


def test_reuse_opens_no_image_file(sil, tmp_path, logs, monkeypatch):
    folder = tmp_path / "photos"
    photo_folder(folder, 3)
    make_reusable(sil, folder)
    calls = []
    real = sil.load_images
    monkeypatch.setattr(sil, "load_images", lambda records: calls.append(records) or real(records))
    db, files = sil.index_a_directory(str(folder))
    assert calls == [] and db.ntotal == 3


@pytest.mark.slow
@pytest.mark.parametrize("dropped_at", ["before", "between", "after"])
def test_dropped_file_keeps_rows_aligned_on_every_road(sil, tmp_path, logs, dropped_at):
    # Files of a folder come before those of its sub-folders, which fixes the walk order.
    folder = tmp_path / "photos"
    top, sub, subsub = folder, folder / "sub", folder / "sub" / "sub"
    where_bad, where_good = {
        "before": (top, [sub, sub]),
        "between": (sub, [top, subsub]),
        "after": (sub, [top, top]),
    }[dropped_at]
    good = photo_folder(where_good[0], 2) + photo_folder(where_good[1], 2, first_seed=2)
    bad = not_an_image(where_bad / "looks_like.png")

    results = []
    for _ in range(3):  # no index file, fingerprint missing, reuse
        logs.clear()
        db, files = sil.index_a_directory(str(folder))
        results.append((db.ntotal, paths(files), messages(logs)))
    assert [r[2][0] for r in results] == [ROAD_NO_INDEX, ROAD_CHANGED, ROAD_REUSE]
    assert results[0][2][1] == count_line(4) and results[1][2][1] == count_line(4)
    for ntotal, listed, _ in results:
        assert ntotal == 4 and listed == results[0][1]
        assert sorted(listed) == sorted(good) and bad not in listed
    # Row r is the vector of files[r] on the reuse road: each picture finds itself.
    for path in good:
        assert sil.search_image(path, str(folder))[0] == path


def test_capital_extension_is_selected_and_unselected_files_change_nothing(sil, tmp_path, logs):
    folder = tmp_path / "photos"
    upper = str(photo_folder(folder, 1, suffix=".JPG")[0])
    lower = photo_folder(folder, 1, first_seed=5, suffix=".png")[0]
    notes = not_an_image(folder / "notes.txt")
    make_reusable(sil, folder)
    db, files = sil.index_a_directory(str(folder))
    assert sorted(paths(files)) == sorted([upper, lower]) and notes not in paths(files)

    os.utime(notes, (1, 1))
    Path(notes).write_text("changed")
    logs.clear()
    _, again = sil.index_a_directory(str(folder))
    assert messages(logs) == [ROAD_REUSE] and paths(again) == paths(files)


def test_two_folders_alternating_rebuild_each_time(sil, tmp_path, logs):
    folders = [tmp_path / "a", tmp_path / "b"]
    photo_folder(folders[0], 3)
    photo_folder(folders[1], 2, first_seed=10)
    sil.index_a_directory(str(folders[0]))
    for folder, count in [(folders[1], 2), (folders[0], 3), (folders[1], 2)]:
        logs.clear()
        db, files = sil.index_a_directory(str(folder))
        assert messages(logs) == [ROAD_CHANGED, count_line(count), DONE]
        assert db.ntotal == count and all(p.startswith(str(folder) + os.sep) for p in paths(files))


@pytest.mark.parametrize("damage", ["garbage", "empty", "truncated"])
def test_damaged_index_file_raises_before_the_fingerprint(sil, tmp_path, logs, cache_files, damage):
    metadata, index = cache_files
    folder = tmp_path / "photos"
    photo_folder(folder, 2)
    make_reusable(sil, folder)
    photo_folder(folder, 1, first_seed=7)  # changed folder: a build would replace the file
    content = index.read_bytes()
    index.write_bytes(
        {"garbage": b"not a faiss index" * 10, "empty": b"", "truncated": content[: len(content) // 2]}[
            damage
        ]
    )
    fingerprint = metadata.read_text()
    logs.clear()
    with pytest.raises(RuntimeError):
        sil.index_a_directory(str(folder))
    assert messages(logs) == [] and metadata.read_text() == fingerprint


@pytest.mark.parametrize("contents", ["empty", "nothing loads", "missing folder"])
def test_folder_without_vectors_gives_an_empty_index_that_is_cached(
    sil, tmp_path, logs, cache_files, contents
):
    folder = tmp_path / "photos"
    if contents != "missing folder":
        folder.mkdir()
    if contents == "nothing loads":
        not_an_image(folder / "a.jpg")
        not_an_image(folder / "b.png")
    query = photo_folder(tmp_path / "query", 1)[0]
    results = []
    for _ in range(3):
        logs.clear()
        results.append(sil.search_image(query, str(folder)))
        db, files = sil.index_a_directory(str(folder))
        assert db.ntotal == 0 and files == [] and db.d == sil.DIMENSION
    assert results == [[], [], []]
    assert messages(logs)[0] == ROAD_REUSE and cache_files[1].exists()


class FaissWithFailingWrite:
    """The faiss module, except that write_index writes part of the file and then fails."""

    def __init__(self):
        self.written = []

    def __getattr__(self, name):
        return getattr(faiss, name)

    def write_index(self, db, path):
        self.written.append(path)
        Path(path).write_bytes(b"partial")
        raise OSError(28, "No space left on device")


@pytest.mark.parametrize("failure", ["loader", "index write"])
def test_failed_build_keeps_the_old_index_and_the_next_call_builds(
    sil, tmp_path, logs, cache_files, monkeypatch, failure
):
    metadata, index = cache_files
    folder = tmp_path / "photos"
    photo_folder(folder, 2)
    make_reusable(sil, folder)
    old_index, old_fingerprint = index.read_bytes(), metadata.read_bytes()
    added = photo_folder(folder, 1, first_seed=20)[0]

    failing_faiss = FaissWithFailingWrite()
    with monkeypatch.context() as patch:
        if failure == "loader":

            def broken_loader(records):
                raise RuntimeError("disk went away")

            patch.setattr(sil, "load_images", broken_loader)
        else:
            patch.setattr(sil, "faiss", failing_faiss)
        with pytest.raises((RuntimeError, OSError)):
            sil.index_a_directory(str(folder))
    assert metadata.read_bytes() == old_fingerprint  # the new listing's fingerprint was taken back
    assert index.read_bytes() == old_index
    # No temporary file is left; the feature store beside the index is no concern here.
    left = [name for name in os.listdir(index.parent) if ".features.sqlite" not in name]
    assert sorted(left) == sorted(["index.faiss", "index.faiss.rows.json", metadata.name])
    if failure == "index write":
        assert failing_faiss.written and failing_faiss.written[0] != str(index)

    # The old fingerprint no longer matches the folder, so the next call builds.
    logs.clear()
    db, files = sil.index_a_directory(str(folder))
    assert messages(logs)[0] == ROAD_CHANGED and db.ntotal == 3 and added in paths(files)


def test_failed_build_on_the_first_road_leaves_the_fingerprint_alone(sil, tmp_path, cache_files, monkeypatch):
    metadata, index = cache_files
    metadata.write_text("f" * 32)
    photo_folder(tmp_path / "photos", 1)

    def broken_loader(records):
        raise RuntimeError("disk went away")

    monkeypatch.setattr(sil, "load_images", broken_loader)
    with pytest.raises(RuntimeError, match="disk went away"):
        sil.index_a_directory(str(tmp_path / "photos"))
    assert metadata.read_text() == "f" * 32 and not index.exists()


@pytest.mark.slow
@pytest.mark.parametrize(
    "manifest", ["missing", "not json", "not an object", "another build", "rows of another listing"]
)
def test_reuse_needs_a_manifest_of_this_index_and_listing(sil, tmp_path, logs, cache_files, manifest):
    metadata, index = cache_files
    first, second = tmp_path / "first", tmp_path / "second"
    first_paths = photo_folder(first, 3)
    photo_folder(second, 3, first_seed=30)  # same row count: only the vectors tell them apart
    make_reusable(sil, first)
    saved = {p: p.read_bytes() for p in (metadata, Path(manifest_path(sil)))}
    make_reusable(sil, second)

    if manifest == "missing":  # an index file written before manifests existed
        make_reusable(sil, first)
        os.remove(manifest_path(sil))
    elif manifest == "not json":
        make_reusable(sil, first)
        Path(manifest_path(sil)).write_text('{"format": 1, "rows": [')
    elif manifest == "not an object":
        make_reusable(sil, first)
        Path(manifest_path(sil)).write_text("[1, 2, 3]")
    elif manifest == "another build":  # second's index, first's manifest and fingerprint
        for path, content in saved.items():
            path.write_bytes(content)
    else:  # first's index, manifest of a listing where one file has another time
        make_reusable(sil, first)
        os.utime(first_paths[1], (1000, 1000))
        listing = [
            r
            for r in sil.absolute_path_recursive_a_directory(str(first))
            if re.search(sil.FILE_EXTENSION_REGEX, r.image_path, re.IGNORECASE)
        ]
        assert sil.is_images_in_dir_changed(listing)  # the fingerprint now says "unchanged"
    logs.clear()
    db, files = sil.index_a_directory(str(first))
    assert messages(logs) == [ROAD_STALE_MANIFEST, count_line(3), DONE]
    assert sorted(paths(files)) == sorted(first_paths)
    for path in first_paths:
        assert sil.search_image(path, str(first))[0] == path
    logs.clear()
    sil.index_a_directory(str(first))
    assert messages(logs) == [ROAD_REUSE]


def test_changed_vector_size_rebuilds_a_cached_index_of_the_old_dimension(sil, tmp_path, logs, monkeypatch):
    folder = tmp_path / "photos"
    photo_folder(folder, 3)
    make_reusable(sil, folder)
    monkeypatch.setattr(sil, "VECTOR_TENSOR_SIZE", 16)
    monkeypatch.setattr(sil, "DIMENSION", 256)
    logs.clear()

    db, files = sil.index_a_directory(str(folder))

    assert messages(logs) == [
        "Cached index has another dimension than DIMENSION, re-indexing",
        count_line(3),
        DONE,
    ]
    assert db.d == 256 and db.ntotal == 3
    assert sil.search_image(files[1].image_path, str(folder))[0] == files[1].image_path


@pytest.mark.slow
@pytest.mark.parametrize(
    "name", ["plain.jpg", "caf\u00e9.jpg", "\u65e5\u672c.jpg", "\U0001f5bc.jpg", b"raw\xff.jpg"]
)
def test_reuse_after_a_dropped_file_with_any_name(sil, tmp_path, logs, name):
    folder = tmp_path / "photos"
    pictures = photo_folder(folder / "a", 2) + photo_folder(folder / "c", 2, first_seed=5)
    if isinstance(name, bytes):
        bad = os.fsdecode(os.fsencode(folder / "b") + b"/" + name)
        os.makedirs(folder / "b")
        with open(os.fsencode(bad), "w") as file:
            file.write("plain text, not a picture\n")
        twin = photo_folder(folder / "b", 1, first_seed=9)[0]
    else:
        bad = not_an_image(folder / "b" / name)
        twin = str(photo_folder(folder / "b", 1, first_seed=9, suffix="_" + name)[0])
    make_reusable(sil, folder)
    logs.clear()
    db, files = sil.index_a_directory(str(folder))
    assert messages(logs) == [ROAD_REUSE]
    assert db.ntotal == 5 and bad not in paths(files) and twin in paths(files)
    for path in pictures + [twin]:
        assert sil.search_image(path, str(folder))[0] == path


@pytest.mark.slow
@pytest.mark.parametrize(
    "tampering",
    ["older format", "dropped position moved", "dropped path changed", "dropped file missing", "row count"],
)
def test_manifest_that_misdescribes_dropped_files_or_rows_is_not_trusted(sil, tmp_path, logs, tampering):
    folder = tmp_path / "photos"
    pictures = photo_folder(folder, 4)
    not_an_image(folder / "sub" / "bad.jpg")
    make_reusable(sil, folder)
    manifest = json.loads(Path(manifest_path(sil)).read_text())
    assert manifest["rows"] == 4 and [entry[0] for entry in manifest["dropped"]] == [4]
    if tampering == "older format":
        manifest["format"] -= 1
    elif tampering == "dropped position moved":
        manifest["dropped"][0][0] = 3
    elif tampering == "dropped path changed":
        manifest["dropped"][0][1] = pictures[0]
    elif tampering == "dropped file missing":
        manifest["dropped"] = []
    else:
        manifest["rows"] = 5
    Path(manifest_path(sil)).write_text(json.dumps(manifest))
    logs.clear()
    db, files = sil.index_a_directory(str(folder))
    assert messages(logs) == [ROAD_STALE_MANIFEST, count_line(4), DONE]
    assert sorted(paths(files)) == sorted(pictures)


class ReStandIn(types.ModuleType):
    """`re` as a host may bind it: every search is counted, then done by `re`."""

    def __init__(self):
        super().__init__("re")
        self.searched = []

    def __getattr__(self, name):
        return getattr(re, name)

    def search(self, pattern, string, flags=0):
        self.searched.append(string)
        return re.search(pattern, string, flags)


@pytest.mark.parametrize("host_re", [False, True])
def test_listing_reads_pattern_and_re_at_every_record(sil, tmp_path, monkeypatch, host_re):
    folder = tmp_path / "photos"
    for seed, suffix in enumerate([".jpg", ".png", ".jpg", ".png", ".jpg"]):
        photo_folder(folder, 1, first_seed=seed, suffix=suffix)
    made = []
    real_record = sil.ImageData

    def switching_record(**fields):
        # From the third record on, only PNG files count.
        made.append(fields["image_path"])
        if len(made) == 3:
            monkeypatch.setattr(sil, "FILE_EXTENSION_REGEX", r"\.png$")
        return real_record(**fields)

    monkeypatch.setattr(sil, "FILE_EXTENSION_REGEX", r"\.jpg$")
    monkeypatch.setattr(sil, "ImageData", switching_record)
    # Records of a rebound ImageData cannot cross to pool workers: load them here.
    monkeypatch.setattr(sil, "load_images", lambda records: [sil.load_image(r) for r in records])
    stand_in = ReStandIn()
    if host_re:
        monkeypatch.setattr(sil, "re", stand_in)
    db, files = sil.index_a_directory(str(folder))
    expected = [p for i, p in enumerate(made) if re.search(r"\.jpg$" if i < 2 else r"\.png$", p)]
    assert paths(files) == expected and db.ntotal == len(expected)
    assert stand_in.searched == (made if host_re else [])
