"""The image listing of a whole folder, which reads the file system on a thread of its own
when nothing of the host's runs between records: the same records, in the same order, as the
lazy walk, and no thread left behind however the listing ends."""
import dataclasses
import json
import os
import pickle
import re

import pytest

from catalogue_support import build_tree, reference_fingerprint, reference_images
from test_catalogue_walk import FOLDER_SPELLINGS


def threads_of_this_process():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.parametrize("spelling", [s for s in FOLDER_SPELLINGS if not isinstance(s("photos"), bytes)])
def test_listing_read_ahead_gives_what_the_lazy_walk_gives(sil, tmp_path, monkeypatch, spelling):
    root = build_tree(tmp_path / "photos")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sil, "FILE_EXTENSION_REGEX", r"\.(jpe?g|png|txt)$")
    folder = spelling(root)
    images = sil.get_images_absolute_path_recursive_a_directory(folder)
    lazy = [r for r in sil.absolute_path_recursive_a_directory(folder)
            if re.search(sil.FILE_EXTENSION_REGEX, r.image_path, re.IGNORECASE)]
    assert images == lazy == reference_images(sil.ImageData, folder, sil.FILE_EXTENSION_REGEX)
    assert images and all(type(r) is sil.ImageData for r in images)


@pytest.fixture(scope="module")
def many_files(tmp_path_factory):
    """Far more files, in many folders, than the walking thread may hold ahead of the
    records, so that it waits for room again and again."""
    root = tmp_path_factory.mktemp("many")
    for folder in range(40):
        sub = root / f"part{folder:02d}"
        sub.mkdir()
        for number in range(1000):
            (sub / f"photo{number:04d}.jpg").touch()
        (sub / "notes.txt").touch()
    return root


@pytest.mark.slow
def test_listing_larger_than_what_is_read_ahead_keeps_every_file_in_order(sil, many_files):
    images = sil.get_images_absolute_path_recursive_a_directory(str(many_files))
    assert len(images) == 40_000
    assert images == reference_images(sil.ImageData, str(many_files), sil.FILE_EXTENSION_REGEX)


@pytest.mark.slow
@pytest.mark.parametrize("ending", ["invalid pattern", "walk dropped after one record"])
def test_listing_that_ends_early_leaves_no_thread(sil, many_files, monkeypatch, ending):
    before = threads_of_this_process()
    if ending == "invalid pattern":
        # Fails at the first record, while the walking thread is still reading.
        monkeypatch.setattr(sil, "FILE_EXTENSION_REGEX", "(unclosed")
        with pytest.raises(re.error):
            sil.get_images_absolute_path_recursive_a_directory(str(many_files))
    else:
        walk = sil.absolute_path_recursive_a_directory(str(many_files))
        next(walk)
        del walk
    assert threads_of_this_process() == before
    monkeypatch.undo()
    assert len(sil.get_images_absolute_path_recursive_a_directory(str(many_files))) == 40_000


def test_records_of_the_listing_are_plain_image_records(sil, tmp_path):
    for name in ["b.jpg", "a.png", "c.gif"]:
        (tmp_path / name).touch()
    images = sil.get_images_absolute_path_recursive_a_directory(str(tmp_path))
    lazy = list(sil.absolute_path_recursive_a_directory(str(tmp_path)))
    assert images == lazy and len(images) == 3
    for record, other in zip(images, lazy):
        assert type(record) is sil.ImageData
        assert list(vars(record).items()) == list(vars(other).items())
        assert json.dumps(record.__dict__) == json.dumps(other.__dict__)
        assert dataclasses.astuple(record) == (record.image_path, record.last_modified)
        assert pickle.loads(pickle.dumps(record)) == record
        record.last_modified = 1.0  # records stay ordinary, changeable objects
        assert record.last_modified == 1.0 and record.__dict__["last_modified"] == 1.0
    assert sil.compute_md5_of_files(lazy[:2]) == sil.compute_md5_of_files(
        sil.get_images_absolute_path_recursive_a_directory(str(tmp_path))[:2])


@pytest.mark.parametrize("change", ["__init__", "__setattr__"])
def test_a_changed_record_class_makes_every_record(sil, tmp_path, monkeypatch, change):
    for name in ["a.jpg", "b.jpg"]:
        (tmp_path / name).touch()
    seen = []
    if change == "__init__":
        init = sil.ImageData.__init__
        monkeypatch.setattr(sil.ImageData, "__init__",
                            lambda self, **fields: seen.append(fields["image_path"]) or init(self, **fields))
    else:
        monkeypatch.setattr(sil.ImageData, "__setattr__",
                            lambda self, name, value: seen.append(name) or object.__setattr__(self, name, value),
                            raising=False)
    images = sil.get_images_absolute_path_recursive_a_directory(str(tmp_path))
    assert len(images) == 2 and len(seen) == (2 if change == "__init__" else 4)


# While index_a_directory lists a folder, the fingerprint's text is made chunk by chunk.
def counting_json_encodes(monkeypatch):
    """The lengths of the lists json.dumps encodes with its default encoder, counted without
    rebinding json.dumps itself."""
    calls = []
    encode = json._default_encoder.encode

    def counting(value):
        if isinstance(value, list):
            calls.append(len(value))
        return encode(value)
    monkeypatch.setattr(json._default_encoder, "encode", counting)
    return calls


def folder_of(root, names):
    root.mkdir(parents=True, exist_ok=True)
    for number, name in enumerate(names):
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.touch()
        os.utime(path, ns=(number * 1_000_000_007, 1_700_000_000_000_000_000 + number * 999_999_937))
    return root


LISTINGS = {
    "empty": [],
    "one": ["a.jpg"],
    "one chunk": [f"p{n:04d}.jpg" for n in range(2048)],
    "a chunk and one": [f"p{n:04d}.jpg" for n in range(2049)] + ["notes.txt"],
    "odd names": ['quote"d.jpg', "back\\slash.png", "caf\u00e9.jpg", "\u4e2d\u6587/x.png", "tab\t.gif",
                  os.fsdecode(b"undecodable\xff.jpg")] + [f"deep/{n}/p.jpg" for n in range(3000)],
}


@pytest.mark.slow
@pytest.mark.parametrize("listing", LISTINGS)
def test_fingerprint_made_while_listing_is_the_fingerprint(sil, tmp_path, cache_files, monkeypatch, listing):
    folder = folder_of(tmp_path / "photos", LISTINGS[listing])
    sil.index_a_directory(str(folder))  # the index file; the fingerprint check comes next time
    encodes = counting_json_encodes(monkeypatch)
    sil.index_a_directory(str(folder))
    encodes = list(encodes)
    images = sil.get_images_absolute_path_recursive_a_directory(str(folder))
    assert cache_files[0].read_text() == reference_fingerprint(images) == sil.compute_md5_of_files(images)
    if images:  # made in chunks of records, not in one call
        assert encodes == [min(2048, len(images) - start) for start in range(0, len(images), 2048)]


@pytest.mark.slow
@pytest.mark.parametrize("rebinding", ["json.dumps", "compute_md5_of_files", "record class"])
def test_fingerprint_is_made_in_one_call_for_a_host_that_rebinds(sil, tmp_path, cache_files, monkeypatch, rebinding):
    folder = folder_of(tmp_path / "photos", [f"p{n:04d}.jpg" for n in range(2500)])
    sil.index_a_directory(str(folder))
    calls = []
    if rebinding == "json.dumps":
        dumps = json.dumps
        monkeypatch.setattr(json, "dumps", lambda value, **options: (
            calls.append(len(value)) if isinstance(value, list) else None) or dumps(value, **options))
    elif rebinding == "compute_md5_of_files":
        compute = sil.compute_md5_of_files
        monkeypatch.setattr(sil, "compute_md5_of_files", lambda records: calls.append(len(records)) or compute(records))
    else:
        record = sil.ImageData
        monkeypatch.setattr(sil, "ImageData", lambda **fields: record(**fields))
        calls = counting_json_encodes(monkeypatch)
    sil.index_a_directory(str(folder))
    assert list(calls) == [2500]
    monkeypatch.undo()
    images = sil.get_images_absolute_path_recursive_a_directory(str(folder))
    assert cache_files[0].read_text() == reference_fingerprint(images)

