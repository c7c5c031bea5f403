"""load_image on names that look like pictures but name a pipe, a socket or a device, and on
a picture whose header declares a size over Pillow's limit. Opening a pipe would wait for a
writer for ever, so the calls run in a child interpreter with a time limit."""

import os
import socket

from odd_files_support import bomb_png
from testsupport import run_python


def test_special_files_and_oversized_pictures_give_none(tmp_path):
    os.mkfifo(tmp_path / "pipe.png")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(str(tmp_path / "socket.png"))
    (tmp_path / "device.png").symlink_to("/dev/zero")  # followed: a device behind a link
    (tmp_path / "bomb.png").write_bytes(bomb_png())
    names = ["pipe.png", "socket.png", "device.png", "bomb.png"]
    try:
        child = run_python(
            f"""
            import search_index_lib as sil
            records = [sil.ImageData({str(tmp_path)!r} + "/" + name, None) for name in {names!r}]
            print([sil.load_image(record) for record in records])
            print(sil.load_images(records))
        """,
            timeout=120,
        )
    finally:
        listener.close()
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [str([None] * len(names))] * 2
