"""What a person at a terminal sees: the progress bar (on a terminal only, not with --quiet),
and Ctrl-C, which ends the command with status 130, one line saying how far it got, and no
process left behind."""

import fcntl
import os
import pty
import re
import signal
import struct
import subprocess
import termios
import time

import pytest
from testsupport import child_env, quick_first, save_photo
from tools_support import FIND_IMAGES, processes_in_session


def read_all(descriptor):
    chunks = []
    while True:
        try:
            chunk = os.read(descriptor, 65536)
        except OSError:  # the terminal's other end is closed
            break
        if not chunk:
            break
        chunks.append(chunk)
    return b"".join(chunks).decode(errors="replace")


@pytest.mark.slow
@pytest.mark.parametrize(
    "terminal, quiet, bar", [(True, False, True), (True, True, False), (False, False, False)]
)
def test_progress_bar_on_standard_error_only_on_a_terminal(terminal, quiet, bar, photos, settings):
    command = [
        str(FIND_IMAGES),
        "--settings",
        str(settings),
        "index",
        str(photos),
        *(["-q"] if quiet else []),
    ]
    if terminal:
        controller, stderr = pty.openpty()
        fcntl.ioctl(stderr, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
    else:
        controller, stderr = None, subprocess.PIPE
    result = subprocess.run(
        command, stdout=subprocess.PIPE, stderr=stderr, env=child_env(tests_path=False), timeout=300
    )
    if terminal:
        os.close(stderr)
        shown = read_all(controller)
        os.close(controller)
    else:
        shown = result.stderr.decode()
    assert result.returncode == 0
    assert bool(re.search(r"Indexing:.*\d+/6 ", shown)) == bar, shown
    assert b"Indexing" not in result.stdout


@pytest.fixture
def many_large_pictures(tmp_path):
    """Enough work for a crop search to be interrupted in the middle: one large photo under
    many names (hard links cost nothing to make)."""
    folder = tmp_path / "large"
    original = save_photo(folder / "photo_000.jpg", 1600, 1200, seed=5)
    for number in range(1, 300):
        os.link(original, folder / f"photo_{number:03}.jpg")
    return folder, original


@pytest.mark.slow
@pytest.mark.parametrize("store", ["on", "off"])
def test_ctrl_c_ends_with_130_one_line_and_no_process_left(store, many_large_pictures, settings, crop_of):
    folder, original = many_large_pictures
    crop = crop_of(original, (300, 200, 900, 700))
    env = child_env(tests_path=False)
    env["SEARCH_INDEX_LIB_FEATURE_STORE"] = store
    search = subprocess.Popen(
        [str(FIND_IMAGES), "--settings", str(settings), "crop", str(crop), str(folder)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        start_new_session=True,
    )
    deadline = time.monotonic() + 120
    while len(processes_in_session(search.pid)) < 2 and search.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)  # until the pool's workers run
    assert search.poll() is None, "the search ended before it could be interrupted"
    time.sleep(2)  # past the crop's check, into the matching
    os.killpg(search.pid, signal.SIGINT)  # what Ctrl-C at a terminal does
    stdout, stderr = search.communicate(timeout=120)
    assert (search.returncode, stdout) == (130, "")
    said = re.fullmatch(r"find-images: interrupted(?:: (\d+) of 300 pictures were read(.*))?\n", stderr)
    assert said, stderr
    if said.group(1) and int(said.group(1)):
        kept = "; the feature store keeps them for the next run"
        again = "; the feature store is off, so the next run reads them again"
        assert said.group(2) == (kept if store == "on" else again)
    deadline = time.monotonic() + 10
    while processes_in_session(search.pid) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert processes_in_session(search.pid) == []


def warning_pictures(folder):
    """Pictures the libraries warn about while reading them: a PNG whose colour profile has an
    invalid rendering intent (libpng, inside OpenCV, writes a line to descriptor 2), and a
    palette PNG with its transparency as bytes (Pillow warns when converting it)."""
    from PIL import Image, ImageCms

    profile = bytearray(ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes())
    profile[64:68] = (0xFFFF).to_bytes(4, "big")
    save_photo(folder / "profile.png", 240, 180, seed=3)
    with Image.open(folder / "profile.png") as picture:
        picture.save(folder / "profile.png", icc_profile=bytes(profile))
    palette = Image.fromarray(
        __import__("numpy").arange(240 * 180, dtype="uint16").reshape(180, 240).astype("uint8"), "L"
    ).convert("P")
    palette.save(folder / "palette.png", transparency=bytes([0, 10, 20]))


@pytest.mark.parametrize("mode", ["normal", "quiet", "verbose"])
@pytest.mark.parametrize("command", quick_first("index", "crop"))
def test_library_warnings_are_summed_up_never_printed_as_they_come(mode, command, photos, settings, crop_of):
    warning_pictures(photos / "garden")
    crop = crop_of(photos / "garden" / "photo_2.jpg")
    words = ["index", str(photos)] if command == "index" else ["crop", str(crop), str(photos)]
    flag = {"normal": [], "quiet": ["--quiet"], "verbose": ["--verbose"]}[mode]
    controller, terminal = pty.openpty()  # a terminal, so that the progress bar is drawn
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
    result = subprocess.run(
        [str(FIND_IMAGES), "--settings", str(settings), *words, *flag],
        stdout=subprocess.PIPE,
        stderr=terminal,
        env=child_env(tests_path=False),
        timeout=300,
    )
    os.close(terminal)
    shown = read_all(controller)
    os.close(controller)
    assert result.returncode == 0, shown
    raw = ("libpng warning", "UserWarning", "iCCP", "Palette images")
    if mode == "quiet":
        assert shown == ""
    elif mode == "normal":
        assert not any(text in shown for text in raw), shown
        summaries = re.findall(r"find-images: (\d+) warnings? from the picture libraries hidden", shown)
        assert len(summaries) == 1 and int(summaries[0]) >= 1, shown
    else:
        assert "find-images: " in shown and any(text in shown for text in raw), shown
