"""The store is a cache, never a source of truth: a damaged, foreign, held or half-written
store file, and several processes sharing it, change no result and fail no search."""

import json
import os
import signal
import sqlite3
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
from store_support import (
    STORE_SWITCH,
    assert_same_results,
    awkward_folder,
    crops,
    every_result,
    point_cache_at,
    reset_index_cache,
    rows,
    store_path,
)
from testsupport import child_env, run_python


@pytest.fixture
def pictures(tmp_path):
    folder = awkward_folder(tmp_path / "pictures")
    return folder, crops(tmp_path / "crops", folder)


@pytest.fixture
def expected(sil, pictures, tmp_path, monkeypatch, caplog):
    """Every result with the store turned off, from its own cache folder."""
    monkeypatch.setenv(STORE_SWITCH, "off")
    point_cache_at(sil, monkeypatch, tmp_path / "expected")
    results = every_result(sil, *pictures, caplog)
    monkeypatch.delenv(STORE_SWITCH)
    point_cache_at(sil, monkeypatch, tmp_path / "cache")
    return results


def fill_store(sil, pictures):
    folder, crop_paths = pictures
    sil.load_images(list(sil.get_images_absolute_path_recursive_a_directory(str(folder))))
    sil.cropped_search(crop_paths[0], str(folder))


def checkpoint(sil):
    """Moves everything into the main file, so that damage to it reaches the content."""
    with sqlite3.connect(store_path(sil)) as connection:
        connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")


def garbage(sil, pictures):
    with open(store_path(sil), "wb") as file:
        file.write(os.urandom(8192))


def truncated(sil, pictures):
    fill_store(sil, pictures)
    checkpoint(sil)
    size = os.path.getsize(store_path(sil))
    os.truncate(store_path(sil), size // 2)


def foreign_format(sil, pictures):
    fill_store(sil, pictures)
    with sqlite3.connect(store_path(sil)) as connection:
        connection.execute("UPDATE store_format SET version = 'another program 7'")


def damaged_entries(sil, pictures):
    fill_store(sil, pictures)
    with sqlite3.connect(store_path(sil)) as connection:
        connection.execute("UPDATE vectors SET vector = zeroblob(length(vector)) WHERE vector IS NOT NULL")
        connection.execute(
            "UPDATE keypoints SET positions = zeroblob(length(positions)) WHERE positions IS NOT NULL"
        )


def directory_in_the_way(sil, pictures):
    os.makedirs(store_path(sil))


@pytest.mark.slow
@pytest.mark.parametrize(
    "damage", [garbage, truncated, foreign_format, damaged_entries, directory_in_the_way]
)
def test_a_damaged_store_changes_no_result(sil, pictures, expected, caplog, damage):
    damage(sil, pictures)
    assert_same_results(every_result(sil, *pictures, caplog), expected)
    if damage is not directory_in_the_way:
        # The store was recreated or repaired and serves again.
        reset_index_cache(sil)
        assert_same_results(every_result(sil, *pictures, caplog), expected)
        assert rows(sil, "vectors") and rows(sil, "keypoints")


HOLD_STORE = """
    import sqlite3, sys, time
    connection = sqlite3.connect(sys.argv[1], isolation_level=None, timeout=30)
    connection.execute("BEGIN IMMEDIATE")  # the write lock, kept until killed
    connection.execute("DELETE FROM vectors")
    print("holding", flush=True)
    time.sleep(120)
"""


@pytest.mark.slow
def test_a_store_held_by_another_process_changes_no_result(sil, pictures, expected, caplog):
    fill_store(sil, pictures)
    os.utime(pictures[0] / "photo4.jpg")  # so that the searches want to write
    holder = subprocess.Popen(
        [sys.executable, "-c", HOLD_STORE.replace("\n    ", "\n"), store_path(sil)],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert holder.stdout.readline().strip() == "holding"
        assert_same_results(every_result(sil, *pictures, caplog), expected)
    finally:
        holder.kill()
        holder.wait()


KILLED_IN_A_TRANSACTION = """
    import os, signal, sqlite3, sys
    connection = sqlite3.connect(sys.argv[1], isolation_level=None)
    connection.execute("BEGIN IMMEDIATE")
    connection.execute("UPDATE vectors SET vector = zeroblob(length(vector)) WHERE vector IS NOT NULL")
    connection.execute("DELETE FROM keypoints")
    os.kill(os.getpid(), signal.SIGKILL)
"""

SEARCHING_UNTIL_KILLED = """
    import os, pathlib, sys
    import search_index_lib as sil
    sil.CACHE_METADATA, sil.CACHED_INDEXED = sys.argv[1] + ".meta", sys.argv[1]
    folder, crop = sys.argv[2], sys.argv[3]
    touched = pathlib.Path(folder) / "photo4.jpg"
    print("started", flush=True)
    while True:
        os.utime(touched)  # a new key for one picture: every round writes
        sil.index_a_directory(folder)
        sil.cropped_search(crop, folder)
"""


@pytest.mark.slow
@pytest.mark.parametrize("when", ["inside a transaction", "while searching"])
def test_a_process_killed_while_writing_leaves_a_usable_store(sil, pictures, expected, caplog, when):
    folder, crop_paths = pictures
    fill_store(sil, pictures)
    if when == "inside a transaction":
        child = subprocess.run(
            [sys.executable, "-c", KILLED_IN_A_TRANSACTION.replace("\n    ", "\n"), store_path(sil)]
        )
        assert child.returncode == -signal.SIGKILL
    else:
        child = subprocess.Popen(
            [
                sys.executable,
                "-c",
                SEARCHING_UNTIL_KILLED.replace("\n    ", "\n"),
                sil.CACHED_INDEXED,
                str(folder),
                crop_paths[0],
            ],
            env=child_env(),
            stdout=subprocess.PIPE,
            text=True,
        )
        assert child.stdout.readline().strip() == "started"
        time.sleep(2.5)
        child.send_signal(signal.SIGKILL)
        child.wait()
    reset_index_cache(sil)
    assert_same_results(every_result(sil, *pictures, caplog), expected)


SEARCH_LOOP = """
    import json, sys
    import search_index_lib as sil
    sil.CACHE_METADATA, sil.CACHED_INDEXED = {metadata!r}, {index!r}
    folder, crop, want = {folder!r}, {crop!r}, json.loads({want!r})
    for _ in range(4):
        got = {{"cropped": sil.cropped_search(crop, folder),
               "similar": sil.search_image(want["query"], folder)}}
        assert got["cropped"] == want["cropped"], (got, want)
        assert got["similar"][0] == want["query"], got
    print("rounds done")
"""


@pytest.mark.slow
@pytest.mark.parametrize("layout", ["same folder", "different folders"])
def test_processes_searching_at_once_share_the_store(sil, tmp_path, monkeypatch, layout):
    folders = {name: awkward_folder(tmp_path / name) for name in ("a", "b")}
    crop = crops(tmp_path / "crops", folders["a"])[0]
    monkeypatch.setenv(STORE_SWITCH, "off")
    want = {
        name: json.dumps(
            {"cropped": sil.cropped_search(crop, str(folder)), "query": str(folder / "photo3.jpg")}
        )
        for name, folder in folders.items()
    }
    monkeypatch.delenv(STORE_SWITCH)
    names = ["a", "a", "a"] if layout == "same folder" else ["a", "b", "a"]
    scripts = [
        SEARCH_LOOP.format(
            metadata=sil.CACHE_METADATA,
            index=sil.CACHED_INDEXED,
            folder=str(folders[name]),
            crop=crop,
            want=want[name],
        )
        for name in names
    ]
    with ThreadPoolExecutor(len(scripts)) as pool:
        children = list(pool.map(run_python, scripts))
    for child in children:
        assert child.returncode == 0, child.stderr[-3000:]
        assert child.stdout.split("\n")[-2] == "rounds done"
        assert "locked" not in child.stderr
    assert len(rows(sil, "keypoints")) == 11 * len(set(names))
