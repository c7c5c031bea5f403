"""An index build or a cropped search cut short (Ctrl-C, a worker killed, the calling process
killed) keeps the vectors or keypoints finished before it in the feature store, and the next
build or search reads only the rest."""

import os
import signal
import sqlite3
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest
from PIL import Image
from testsupport import child_env, save_photo

PICTURES = 160

# A build or a cropped search in a child process. Every file of the folder that a process
# opens (by name, or as a descriptor the module opened) is noted in a log (workers inherit
# the audit hook under fork), and each opening is slowed down a little, so that the work
# lasts long enough to be cut short at a chosen point.
WORK = """
import os, sys, time
folder, log_path, index, crop = sys.argv[1:5]
log = open(log_path, "a", buffering=1)
def note_opening(event, args):
    if event != "open":
        return
    name = os.readlink(f"/proc/self/fd/{args[0]}") if isinstance(args[0], int) else args[0]
    if isinstance(name, str) and name.startswith(folder):
        log.write(name + "\\n")
        time.sleep(0.01)
sys.addaudithook(note_opening)
import search_index_lib as sil
sil.CACHED_INDEXED = index
sil.CACHE_METADATA = index + ".metadata"
if crop:
    print("found", len(sil.cropped_search(crop, folder)))
else:
    db, files = sil.index_a_directory(folder)
    print("built", db.ntotal, len(files))
"""


def start_work(folder, log, index, crop):
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(WORK), str(folder), str(log), index, crop],
        env=child_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def opened(log):
    return log.read_text().splitlines() if log.exists() else []


def stored_paths(index, table):
    with sqlite3.connect(index + ".features.sqlite") as connection:
        return {os.fsdecode(row[0]) for row in connection.execute(f"SELECT path FROM {table}")}


def workers_of(pid):
    children = Path(f"/proc/{pid}/task/{pid}/children").read_text().split()
    return [
        int(child)
        for child in children
        if b"resource_tracker" not in Path(f"/proc/{child}/cmdline").read_bytes()
    ]


def cut_short(process, how):
    if how == "interrupt":
        process.send_signal(signal.SIGINT)
    elif how == "killed worker":
        os.kill(workers_of(process.pid)[0], signal.SIGKILL)
    else:  # the whole program crashes: the caller and its workers
        workers = workers_of(process.pid)
        process.kill()
        for worker in workers:
            os.kill(worker, signal.SIGKILL)
    _, error = process.communicate(timeout=60)
    return error


@pytest.fixture(scope="module")
def pictures(tmp_path_factory):
    folder = tmp_path_factory.mktemp("interrupted") / "photos"
    for number in range(PICTURES):
        save_photo(folder / f"photo{number:03d}.jpg", 200, 150, seed=number)
    return folder


CUTS = [("interrupt", "KeyboardInterrupt"), ("killed worker", "a worker process died"), ("killed caller", "")]


# Each case runs two child builds of PICTURES pictures (seconds each): the quick run keeps one.
@pytest.mark.parametrize(
    "work, how, error",
    [
        pytest.param(
            work, how, error, marks=[] if (work, how) == ("build", "interrupt") else [pytest.mark.slow]
        )
        for work in ("build", "cropped search")
        for how, error in CUTS
    ],
)
def test_work_cut_short_keeps_what_was_finished_and_the_next_reads_the_rest(
    tmp_path, pictures, work, how, error
):
    (tmp_path / "store_cache").mkdir()
    index = str(tmp_path / "store_cache" / "index.faiss")
    crop, table, done = "", "vectors", ["built", str(PICTURES), str(PICTURES)]
    if work == "cropped search":
        crop, table, done = str(tmp_path / "crop.png"), "keypoints", ["found"]
        Image.open(pictures / "photo007.jpg").crop((40, 30, 160, 120)).save(crop)
    first_log = tmp_path / "first.log"
    build = start_work(pictures, first_log, index, crop)
    deadline = time.monotonic() + 120
    while len(opened(first_log)) < PICTURES * 3 // 4 and build.poll() is None and time.monotonic() < deadline:
        time.sleep(0.02)
    assert build.poll() is None, "the build ended before it could be cut short"
    message = cut_short(build, how)
    assert build.returncode != 0 and error in message

    kept = stored_paths(index, table)
    read_before = set(opened(first_log))
    assert kept and kept <= read_before
    # The pool replaces a killed worker, and the replacement may finish the work before the
    # death is seen; otherwise the work stopped where it was.
    assert len(kept) < PICTURES or how == "killed worker"
    # At most the slices the workers were on when the build stopped were lost.
    assert len(kept) >= len(read_before) - PICTURES // 4

    second_log = tmp_path / "second.log"
    rebuild = start_work(pictures, second_log, index, crop)
    output, message = rebuild.communicate(timeout=300)
    assert rebuild.returncode == 0, message
    assert output.split()[: len(done)] == done
    every = {str(path) for path in pictures.iterdir()}
    assert set(opened(second_log)) == every - kept
    assert stored_paths(index, table) == every
