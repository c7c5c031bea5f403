"""The folder walk, image test and fingerprint written plainly with the standard library,
to compare the module with, and a builder for folder trees with awkward entries."""

import hashlib
import json
import os
import re


def reference_walk(make_record, folder):
    """os.walk + abspath/normpath + getmtime; entries whose status fails are left out."""
    prefix = os.path.abspath(folder)
    for root, _dirs, files in os.walk(folder):
        relative_root = os.path.relpath(root, folder)
        for name in files:
            path = os.path.normpath(os.path.join(prefix, relative_root, name))
            try:
                last_modified = os.path.getmtime(path)
            except OSError:
                continue
            yield make_record(image_path=path, last_modified=last_modified)


def reference_images(make_record, folder, pattern):
    return [r for r in reference_walk(make_record, folder) if re.search(pattern, r.image_path, re.IGNORECASE)]


def reference_fingerprint(records):
    return hashlib.md5(json.dumps([r.__dict__ for r in records]).encode()).hexdigest()


def touch(path, mtime_ns=None):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"x")
    if mtime_ns is not None:
        os.utime(path, ns=(mtime_ns, mtime_ns))
    return path


def build_tree(root):
    """A tree with nested folders, hidden and non-image files, odd names, a link to a file,
    a link to a folder (never descended) and a dangling link (left out)."""
    names = [
        "a.jpg",
        "B.PNG",
        ".hidden.jpg",
        "notes.txt",
        "with space.jpeg",
        'quote"d.png',
        "back\\slash.gif",
        "tab\tname.jpg",
        "caf\u00e9.jpg",
        "emoji\U0001f600.png",
        "del\x7f.bmp",
    ]
    for index, name in enumerate(names):
        touch(root / name, mtime_ns=1_600_000_000_123_456_789 + index * 1_000_000_007)
    for sub in ["one", "two", "three", "one/deeper", "one/deeper/deepest", "two/.dot"]:
        for index in range(3):
            touch(root / sub / f"f{index}.jpg", mtime_ns=12_500_000_000 + index)
        touch(root / sub / "readme.md")
    undecodable = os.fsencode(root) + b"/raw\xff.jpg"
    with open(undecodable, "wb") as handle:
        handle.write(b"x")
    (root / "link_to_file.jpg").symlink_to(root / "a.jpg")
    (root / "link_to_folder").symlink_to(root / "one", target_is_directory=True)
    (root / "two" / "dangling.jpg").symlink_to(root / "missing.jpg")
    return root
