"""The folder walk: records, order, paths, times, failures left out, and the generator."""

import collections.abc
import os
import pathlib
import re

import pytest
from catalogue_support import build_tree, reference_images, reference_walk, touch


@pytest.fixture
def tree(tmp_path, monkeypatch):
    root = build_tree(tmp_path / "photos")
    monkeypatch.chdir(tmp_path)
    return root


FOLDER_SPELLINGS = [
    lambda root: str(root),
    lambda root: "photos",
    lambda root: "./photos/",
    lambda root: "photos//one/..//",
    lambda root: str(root) + "/./",
    lambda root: "photos/link_to_folder/..",
    lambda root: pathlib.Path("photos"),
    lambda root: b"photos",
]


@pytest.mark.parametrize("spelling", FOLDER_SPELLINGS)
def test_walk_gives_what_os_walk_gives(sil, tree, spelling):
    folder = spelling(tree)
    records = list(sil.absolute_path_recursive_a_directory(folder))
    expected = list(reference_walk(sil.ImageData, folder))
    assert records == expected
    assert len(records) == 11 + 1 + 1 + 6 * 4  # names, undecodable, link to file, sub-folders
    for record in records:
        assert type(record) is sil.ImageData
        assert type(record.last_modified) is float
        assert record.last_modified == os.path.getmtime(record.image_path)


def test_walk_lists_files_before_sub_folders_in_listing_order(sil, tree):
    records = [r.image_path for r in sil.absolute_path_recursive_a_directory(str(tree))]
    folders = [os.path.dirname(p) for p in records]
    # Pre-order: the top folder's files first, each folder's files in one run.
    runs = [f for i, f in enumerate(folders) if i == 0 or folders[i - 1] != f]
    assert runs[0] == str(tree)
    assert len(runs) == len(set(runs))
    top = [os.path.basename(p) for p in records if os.path.dirname(p) == str(tree)]
    listed = [e.name for e in os.scandir(tree) if not e.is_dir() and os.path.exists(e.path)]
    assert top == [os.fsdecode(n) for n in listed]
    assert runs.index(str(tree / "one" / "deeper")) == runs.index(str(tree / "one")) + 1
    assert not any("link_to_folder" in p for p in records)
    assert not any("dangling" in p for p in records)


@pytest.mark.parametrize(
    "mtime_ns",
    [12_000_000_000, 12_500_000_000, 1, 999_999_999, 1_700_000_000_999_999_999, 1_234_567_890_123_456_789],
)
def test_last_modified_is_exactly_getmtime(sil, tmp_path, mtime_ns):
    touch(tmp_path / "f.jpg", mtime_ns=mtime_ns)
    [record] = sil.absolute_path_recursive_a_directory(str(tmp_path))
    assert record.last_modified == os.path.getmtime(tmp_path / "f.jpg")


@pytest.mark.parametrize(
    "make_folder",
    [
        lambda tmp: tmp / "missing",
        lambda tmp: touch(tmp / "file.jpg"),
        lambda tmp: (tmp / "empty").mkdir() or tmp / "empty",
        lambda tmp: "",
    ],
)
def test_unlistable_or_empty_folder_gives_nothing(sil, tmp_path, make_folder):
    folder = str(make_folder(tmp_path))
    assert list(sil.absolute_path_recursive_a_directory(folder)) == []
    assert sil.get_images_absolute_path_recursive_a_directory(folder) == []


def test_folder_and_file_that_vanish_during_the_walk_are_left_out(sil, tmp_path):
    for name in ["first.jpg", "second.jpg", "third.jpg"]:
        touch(tmp_path / name)
    touch(tmp_path / "sub" / "inner.jpg")
    walk = sil.absolute_path_recursive_a_directory(str(tmp_path))
    first = next(walk)
    remaining = {str(tmp_path / n) for n in ["first.jpg", "second.jpg", "third.jpg"]} - {first.image_path}
    vanished = sorted(remaining)[0]
    os.remove(vanished)
    os.remove(tmp_path / "sub" / "inner.jpg")
    os.rmdir(tmp_path / "sub")
    rest = [r.image_path for r in walk]
    assert rest == sorted(remaining - {vanished}, key=rest.index)
    assert len(rest) == 1


def test_walk_does_no_work_until_asked(sil, tmp_path, monkeypatch):
    touch(tmp_path / "later" / "photos" / "a.jpg")
    monkeypatch.chdir(tmp_path)
    walk = sil.absolute_path_recursive_a_directory("photos")  # not there yet from here
    bad = sil.absolute_path_recursive_a_directory(None)  # fails only when started
    monkeypatch.chdir(tmp_path / "later")
    assert [r.image_path for r in walk] == [str(tmp_path / "later" / "photos" / "a.jpg")]
    with pytest.raises(TypeError, match="NoneType"):
        next(bad)
    with pytest.raises(ValueError, match="embedded null"):
        next(sil.absolute_path_recursive_a_directory("a\0b"))


def test_records_are_made_by_the_current_record_class_with_keywords(sil, tmp_path, monkeypatch):
    touch(tmp_path / "a.jpg")
    calls = []

    def record(*args, **kwargs):
        calls.append((args, kwargs))
        return "made"

    walk = sil.absolute_path_recursive_a_directory(str(tmp_path))
    monkeypatch.setattr(sil, "ImageData", record)
    assert list(walk) == ["made"]
    assert calls == [
        ((), {"image_path": str(tmp_path / "a.jpg"), "last_modified": os.path.getmtime(tmp_path / "a.jpg")})
    ]


def _python_generator(items):
    # A plain loop, not `yield from`: send() and throw() must reach this generator, as they
    # reach the walk, rather than be handed on to the list's iterator.
    for item in items:  # noqa: UP028
        yield item


# Each scenario drives a generator and returns what happened at every step.
def _outcomes(generator, steps):
    seen = []
    for step in steps:
        try:
            value = step(generator)
            seen.append(("value", None if value is None else "record"))
        except BaseException as error:  # noqa: B902 - GeneratorExit is part of the protocol
            seen.append((type(error).__name__, str(error)))
    return seen


SCENARIOS = {
    "send_non_none_first": [lambda g: g.send(1), next, next, next],
    "send_none_then_values": [lambda g: g.send(None), lambda g: g.send("ignored"), next, next],
    "throw_before_start": [lambda g: g.throw(KeyError("k")), next],
    "throw_stop_iteration_before_start": [lambda g: g.throw(StopIteration), next],
    "throw_stop_iteration_after_start": [next, lambda g: g.throw(StopIteration), next],
    "throw_class_after_start": [next, lambda g: g.throw(ValueError), next],
    "throw_generator_exit": [next, lambda g: g.throw(GeneratorExit()), next],
    "throw_not_an_exception": [lambda g: g.throw(3), next],
    "close_then_use": [
        next,
        lambda g: g.close(),
        next,
        lambda g: g.send(None),
        lambda g: g.throw(OSError("after")),
        lambda g: g.close(),
    ],
    "exhaust": [next, next, next, lambda g: g.send(None)],
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_walk_behaves_as_a_generator(sil, tmp_path, scenario):
    touch(tmp_path / "a.jpg")
    touch(tmp_path / "b.jpg")
    walk = sil.absolute_path_recursive_a_directory(str(tmp_path))
    twin = _python_generator(list(sil.absolute_path_recursive_a_directory(str(tmp_path))))
    assert isinstance(walk, collections.abc.Generator) and iter(walk) is walk
    assert _outcomes(walk, SCENARIOS[scenario]) == _outcomes(twin, SCENARIOS[scenario])


def test_walk_refuses_to_be_resumed_from_inside_itself(sil, tmp_path, monkeypatch):
    touch(tmp_path / "a.jpg")
    touch(tmp_path / "b.jpg")
    walk = sil.absolute_path_recursive_a_directory(str(tmp_path))
    errors = []

    def reentrant(**fields):
        for resume in (next, lambda g: g.close(), lambda g: g.throw(KeyError)):
            try:
                resume(walk)
            except ValueError as error:
                errors.append(str(error))
        return walk.gi_running

    monkeypatch.setattr(sil, "ImageData", reentrant)
    assert next(walk) is True
    assert errors == ["generator already executing"] * 3
    assert walk.gi_running is False


@pytest.mark.parametrize(
    "pattern, expected",
    [
        (r"\.jpe?g$", {"a.JPG", "b.jpeg", "photo.Jpg"}),
        (r"\.JPG$", {"a.JPG", "photo.Jpg"}),
        (r"jpg", {"a.JPG", "photo.Jpg", "jpg_album/readme.txt", "jpg_album/song.mp3"}),
        (r"^/", {"a.JPG", "b.jpeg", "photo.Jpg", "notes.txt", "jpg_album/readme.txt", "jpg_album/song.mp3"}),
    ],
)
def test_image_test_is_unanchored_case_blind_search_of_the_whole_path(
    sil, tmp_path, monkeypatch, pattern, expected
):
    for name in ["a.JPG", "b.jpeg", "photo.Jpg", "notes.txt", "jpg_album/readme.txt", "jpg_album/song.mp3"]:
        touch(tmp_path / name)
    monkeypatch.setattr(sil, "FILE_EXTENSION_REGEX", pattern)
    images = sil.get_images_absolute_path_recursive_a_directory(str(tmp_path))
    assert type(images) is list
    assert {os.path.relpath(r.image_path, tmp_path) for r in images} == expected
    assert images == reference_images(sil.ImageData, str(tmp_path), pattern)


def test_image_test_reads_the_setting_at_every_test(sil, tmp_path, monkeypatch):
    for name in ["a.jpg", "b.png", "c.jpg", "d.png"]:
        touch(tmp_path / name)
    made = []

    def switching_record(**fields):
        # From the third record on, only PNG files count.
        made.append(fields["image_path"])
        if len(made) == 3:
            monkeypatch.setattr(sil, "FILE_EXTENSION_REGEX", r"\.png$")
        return sil_record(**fields)

    sil_record = sil.ImageData
    monkeypatch.setattr(sil, "FILE_EXTENSION_REGEX", r"\.jpg$")
    monkeypatch.setattr(sil, "ImageData", switching_record)
    kept = [
        os.path.basename(r.image_path)
        for r in sil.get_images_absolute_path_recursive_a_directory(str(tmp_path))
    ]
    expected = [
        os.path.basename(p) for i, p in enumerate(made) if re.search(r"\.jpg$" if i < 2 else r"\.png$", p)
    ]
    assert kept == expected


@pytest.mark.parametrize(
    "pattern, folder, error",
    [
        ("(unclosed", "str", re.error),
        (re.compile(r"\.jpg$"), "str", ValueError),
        (r"\.jpg$", "bytes", TypeError),
    ],
)
def test_image_test_errors_reach_the_caller(sil, tmp_path, monkeypatch, pattern, folder, error):
    touch(tmp_path / "a.jpg")
    monkeypatch.setattr(sil, "FILE_EXTENSION_REGEX", pattern)
    argument = str(tmp_path) if folder == "str" else os.fsencode(tmp_path)
    with pytest.raises(error):
        sil.get_images_absolute_path_recursive_a_directory(argument)
    # No file, no test: an invalid pattern goes unnoticed in an empty folder.
    assert sil.get_images_absolute_path_recursive_a_directory(str(tmp_path / "none")) == []


def test_image_listing_walks_through_the_current_walk_function(sil, tmp_path, monkeypatch):
    records = [
        sil.ImageData(image_path="/x/a.jpg", last_modified=1.0),
        sil.ImageData(image_path="/x/b.txt", last_modified=2.0),
    ]
    monkeypatch.setattr(sil, "absolute_path_recursive_a_directory", lambda folder: iter(records))
    assert sil.get_images_absolute_path_recursive_a_directory("anything") == records[:1]


def test_parent_component_after_a_link_resolves_as_os_walk_and_abspath_do(sil, tmp_path, monkeypatch):
    # "jump/../photos" lists real/photos (the system follows the link) while the record
    # paths name photos (".." is resolved textually), whose files may differ.
    touch(tmp_path / "real" / "photos" / "a.jpg", mtime_ns=5_000_000_000)
    touch(tmp_path / "real" / "photos" / "only_here.jpg")
    touch(tmp_path / "photos" / "a.jpg", mtime_ns=7_250_000_000)
    (tmp_path / "real" / "jump").mkdir()
    (tmp_path / "jump").symlink_to(tmp_path / "real" / "jump")
    monkeypatch.chdir(tmp_path)
    records = list(sil.absolute_path_recursive_a_directory("jump/../photos"))
    assert records == list(reference_walk(sil.ImageData, "jump/../photos"))
    assert records == [sil.ImageData(image_path=str(tmp_path / "photos" / "a.jpg"), last_modified=7.25)]
