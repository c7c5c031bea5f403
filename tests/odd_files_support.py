"""A folder salted with the odd files real disks hold, beside good pictures of every kind."""

import os
import struct
import zlib
from pathlib import Path

import numpy as np
from PIL import Image
from testsupport import photo_array

NON_UTF8_NAME = os.fsdecode(b"caf\xe9-\xff.jpg")  # Latin-1 bytes, not valid UTF-8


def _photo(seed, width=160, height=120):
    return Image.fromarray(photo_array(width, height, seed))


def _grey(seed, width=160, height=120):
    return photo_array(width, height, seed, channels=1)


def _animated(path, seed):
    first, *rest = [_photo(seed + i).convert("P") for i in range(3)]
    first.save(path, save_all=True, append_images=rest)


# relative path -> writer(path, seed): decodable pictures, some in unusual modes and sizes
GOOD = {
    "photo.jpg": lambda p, s: _photo(s).save(p),
    "cmyk.jpg": lambda p, s: _photo(s).convert("CMYK").save(p),
    "grey16.png": lambda p, s: Image.fromarray(_grey(s).astype(np.uint16) * 257).save(p),
    "one-bit.png": lambda p, s: _photo(s).convert("1").save(p),
    "palette.png": lambda p, s: _photo(s).convert("P").save(p),
    "animated.gif": _animated,
    "grey-alpha.png": lambda p, s: _photo(s).convert("LA").save(p),
    "int32.tif": lambda p, s: Image.fromarray(_grey(s).astype(np.int32) * 65536).save(p),
    "float32.tif": lambda p, s: Image.fromarray(_grey(s).astype(np.float32) / 255).save(p),
    "dot.png": lambda p, s: _photo(s, 1, 1).save(p),
    "strip.png": lambda p, s: _photo(s, 200, 10).save(p),
    NON_UTF8_NAME: lambda p, s: _photo(s).save(p),
    "folder.jpg/inside.png": lambda p, s: _photo(s).save(p),
    "deeper/photo.png": lambda p, s: _photo(s).save(p),
}


def _png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def bomb_png(width=30000, height=30000):
    """A PNG whose header declares a huge greyscale picture; its data is a few bytes."""
    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    return (
        b"\x89PNG\r\n\x1a\n"
        + _png_chunk(b"IHDR", header)
        + _png_chunk(b"IDAT", zlib.compress(b"\0" * (width + 1)))
        + _png_chunk(b"IEND", b"")
    )


def _truncated_jpeg(path, seed):
    _photo(seed).save(path)
    path.write_bytes(path.read_bytes()[: path.stat().st_size // 2])


# relative path -> writer(path, seed): what must neither hang, crash nor fail a search
ODD = {
    "empty.png": lambda p, s: p.write_bytes(b""),
    "notes.png": lambda p, s: p.write_text("not a picture\n"),
    "truncated.jpg": _truncated_jpeg,
    "bomb.png": lambda p, s: p.write_bytes(bomb_png()),
    "pipe.jpg": lambda p, s: os.mkfifo(p),
    "gone.jpg": lambda p, s: p.symlink_to(p.parent / "never-there.jpg"),
    "deeper/loop": lambda p, s: p.symlink_to(".."),
}


def write_files(root, files, first_seed=0):
    for seed, (name, write) in enumerate(files.items(), start=first_seed):
        path = Path(root) / name
        path.parent.mkdir(parents=True, exist_ok=True)
        write(path, seed)


def salted_and_clean(root):
    """Two folders under `root`: "salted" holds the good pictures and every odd file, "clean"
    the same good pictures (same names, same content) only."""
    salted, clean = Path(root) / "salted", Path(root) / "clean"
    write_files(salted, GOOD)
    write_files(salted, ODD, first_seed=100)
    write_files(clean, GOOD)
    return salted, clean
