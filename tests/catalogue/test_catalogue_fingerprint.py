"""The folder fingerprint and the fingerprint file."""

import dataclasses
import hashlib
import json
import os
import types

import pytest
from catalogue_support import build_tree, reference_fingerprint

PATHS = [
    "/photos/a.jpg",
    "",
    "caf\u00e9/\u00fc.jpg",
    "\u4e2d\u6587.png",
    "emoji\U0001f600\U0010ffff.png",
    'quote"d.jpg',
    "back\\slash\\\\.jpg",
    "C:\\Users\\x.jpg",
    "slash/ok/",
    "\b\f\n\r\t.jpg",
    "".join(map(chr, range(32))) + "\x7f\x80\xff",
    "lone\udcff\ud800surrogate.jpg",
    "\u2028\ufeff",
]


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("last_modified", [1796688624.1441255, 5e-324, None])
def test_fingerprint_of_paths_matches_json_dumps(sil, path, last_modified):
    records = [sil.ImageData(image_path=path, last_modified=last_modified)] * 2
    assert sil.compute_md5_of_files(records) == reference_fingerprint(records)


@dataclasses.dataclass
class Extra:
    image_path: str
    last_modified: object
    size: object = 3


class Plain:
    def __init__(self, **fields):
        self.__dict__.update(fields)


class Text(str):
    pass


class Number(float):
    def __repr__(self):
        return "not used by json"


OTHER_RECORDS = {
    "extra_key": lambda sil: [Extra("/a.jpg", 1.5)],
    "int_time": lambda sil: [sil.ImageData(image_path="/a.jpg", last_modified=12)],
    "bool_time": lambda sil: [sil.ImageData(image_path="/a.jpg", last_modified=True)],
    "huge_int": lambda sil: [sil.ImageData(image_path="/a.jpg", last_modified=10**30)],
    "nested": lambda sil: [sil.ImageData(image_path=["/a", {"b": None}], last_modified=(1.5,))],
    "str_subclass": lambda sil: [sil.ImageData(image_path=Text("/a\u00e9.jpg"), last_modified=1.0)],
    "float_subclass": lambda sil: [sil.ImageData(image_path="/a.jpg", last_modified=Number(2.5))],
    "non_str_key": lambda sil: [Plain(**{"image_path": "/a"}), types.SimpleNamespace(**{"k": 1.0})],
    "no_fields": lambda sil: [Plain()],
    "mixed": lambda sil: [sil.ImageData(image_path="/a.jpg", last_modified=1.0), Extra("/b", None, "x")],
}


@pytest.mark.parametrize("kind", OTHER_RECORDS)
def test_fingerprint_of_other_records_matches_json_dumps(sil, kind):
    records = OTHER_RECORDS[kind](sil)
    assert sil.compute_md5_of_files(records) == reference_fingerprint(records)


def test_fingerprint_of_a_walked_tree_and_of_any_iterable(sil, tmp_path):
    records = list(sil.absolute_path_recursive_a_directory(str(build_tree(tmp_path / "t"))))
    expected = reference_fingerprint(records)
    assert sil.compute_md5_of_files(records) == expected
    assert sil.compute_md5_of_files(iter(records)) == expected
    assert sil.compute_md5_of_files(tuple(records)) == expected
    assert sil.compute_md5_of_files(records[::-1]) != expected
    assert sil.compute_md5_of_files([]) == hashlib.md5(b"[]").hexdigest()


@pytest.mark.parametrize(
    "records, error",
    [
        ([1.5], AttributeError),
        ([Plain(image_path={1, 2})], TypeError),
        (None, TypeError),
    ],
)
def test_fingerprint_errors_reach_the_caller(sil, records, error):
    with pytest.raises(error):
        sil.compute_md5_of_files(records)


@pytest.mark.parametrize("where", ["module", "json"])
def test_fingerprint_uses_the_current_json_and_md5(sil, monkeypatch, where):
    records = [sil.ImageData(image_path="/a.jpg", last_modified=1.0)]
    dumps = lambda maps: f"{len(maps)} maps"  # noqa: E731
    if where == "module":
        monkeypatch.setattr(sil, "json", types.SimpleNamespace(dumps=dumps))
    else:
        monkeypatch.setattr(json, "dumps", dumps)
    assert sil.compute_md5_of_files(records) == hashlib.md5(b"1 maps").hexdigest()
    monkeypatch.setattr(sil, "md5", hashlib.sha1)
    assert sil.compute_md5_of_files(records) == hashlib.sha1(b"1 maps").hexdigest()


# --- the fingerprint file -------------------------------------------------------------------


def _listing(sil, *names):
    return [sil.ImageData(image_path=f"/photos/{n}", last_modified=1.5) for n in names]


def test_check_answers_changed_then_unchanged_and_leaves_the_file_alone(sil, cache_files):
    metadata, _ = cache_files
    listing = _listing(sil, "a.jpg", "b.jpg")
    assert sil.is_images_in_dir_changed(listing) is True
    content = metadata.read_bytes()
    assert content == sil.compute_md5_of_files(listing).encode()
    assert len(content) == 32 and set(content.decode()) <= set("0123456789abcdef")
    before = os.stat(metadata)
    assert sil.is_images_in_dir_changed(all_images_metadata=listing) is False
    after = os.stat(metadata)
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
    assert os.listdir(metadata.parent) == [metadata.name]


@pytest.mark.parametrize(
    "stored",
    [
        lambda digest: digest + "\n",
        lambda digest: digest + "\r\n",
        lambda digest: " " + digest,
        lambda digest: digest.upper(),
        lambda digest: "",
        lambda digest: hashlib.md5(b"[]").hexdigest(),
    ],
)
def test_any_other_stored_text_counts_as_changed_and_is_replaced(sil, cache_files, stored):
    metadata, _ = cache_files
    listing = _listing(sil, "a.jpg")
    digest = sil.compute_md5_of_files(listing)
    metadata.write_bytes(stored(digest).encode())
    assert sil.is_images_in_dir_changed(listing) is True
    assert metadata.read_bytes() == digest.encode()
    assert sil.is_images_in_dir_changed(listing) is False


def test_alternating_folders_always_count_as_changed(sil):
    a, b = _listing(sil, "a.jpg"), _listing(sil, "b.jpg")
    assert [sil.is_images_in_dir_changed(x) for x in (a, b, a, a)] == [True, True, True, False]


def test_stored_fingerprint_through_a_link_updates_the_link_target(sil, cache_files, monkeypatch, tmp_path):
    target = tmp_path / "elsewhere.txt"
    target.write_text("old")
    link = tmp_path / "cache" / "link.txt"
    link.symlink_to(target)
    monkeypatch.setattr(sil, "CACHE_METADATA", str(link))
    listing = _listing(sil, "a.jpg")
    assert sil.is_images_in_dir_changed(listing) is True
    assert link.is_symlink() and target.read_text() == sil.compute_md5_of_files(listing)
    assert sil.is_images_in_dir_changed(listing) is False


def test_a_failed_write_keeps_the_old_fingerprint_and_leaves_no_temporary_file(sil, cache_files, monkeypatch):
    metadata, _ = cache_files
    metadata.write_text("old fingerprint")
    monkeypatch.setattr(sil, "compute_md5_of_files", lambda records: 42)  # not text: write fails
    with pytest.raises(TypeError, match="must be str"):
        sil.is_images_in_dir_changed([])
    assert metadata.read_text() == "old fingerprint"
    assert os.listdir(metadata.parent) == [metadata.name]


@pytest.mark.parametrize(
    "where, error",
    [
        (lambda tmp: tmp / "no_such_folder" / "metadata.txt", FileNotFoundError),
        (lambda tmp: tmp, IsADirectoryError),
    ],
)
def test_fingerprint_file_errors_reach_the_caller(sil, monkeypatch, tmp_path, where, error):
    monkeypatch.setattr(sil, "CACHE_METADATA", str(where(tmp_path)))
    with pytest.raises(error):
        sil.is_images_in_dir_changed([])


def test_check_uses_the_current_fingerprint_function(sil, cache_files, monkeypatch):
    metadata, _ = cache_files
    seen = []
    monkeypatch.setattr(sil, "compute_md5_of_files", lambda records: seen.append(records) or "custom")
    listing = _listing(sil, "a.jpg")
    assert sil.is_images_in_dir_changed(listing) is True
    assert seen == [listing] and metadata.read_text() == "custom"
