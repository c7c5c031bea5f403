"""A pool worker that dies, or an interrupt, ends a search promptly: a clear error, no worker
process left, the cache files as they were. Each case runs in a child interpreter with a time
limit, so that a hang fails the test instead of blocking the suite."""

import functools
import json
import multiprocessing
import os
import signal
import subprocess
import sys
import textwrap
import time
from multiprocessing.pool import ThreadPool

import numpy as np
import pytest
from testsupport import START_METHODS, child_env, save_photo

LIMIT = 90  # seconds; a call that hangs is stopped and fails the test

SETUP = """
    import json, multiprocessing, sys
    from pathlib import Path
    import cv2
    import search_index_lib as sil
    import worker_death_support as support
    from testsupport import save_photo

    root = Path({root!r})
    root.mkdir()
    sil.Pool = multiprocessing.get_context({method!r}).Pool
    (root / "cache").mkdir()
    sil.CACHE_METADATA = str(root / "cache" / "metadata.txt")
    sil.CACHED_INDEXED = str(root / "cache" / "index.faiss")
    folder = root / "photos"
    for seed in range(4):
        save_photo(folder / f"photo{{seed}}.png", seed=seed)
    crop = str(root / "crop.png")
    cv2.imwrite(crop, cv2.imread(str(folder / "photo1.png"), 0)[40:160, 60:220])
    if {cache_before!r}:  # the second call stores the fingerprint beside the index
        sil.index_a_directory(str(folder))
        sil.index_a_directory(str(folder))

    def cache_files():
        return {{path.name: path.read_bytes().hex() for path in (root / "cache").iterdir()}}

    before = cache_files()
    # The query lies outside the folder, so only its own vector is computed when it dies.
    marked = (root / "queries" if {search!r} == "query" else folder) / {marked_name!r}
    save_photo(marked, seed=9)
    if {search!r} == "cropped":
        sil.live_search_process_image = support.live_search_process_image
        call = lambda: sil.cropped_search(crop, str(folder))
    else:
        sil.load_image = support.load_image
        query = marked if {search!r} == "query" else folder / "photo1.png"
        call = lambda: sil.search_image(str(query), str(folder))
"""

REPORT = """
    print(json.dumps({"error": error, "marked": str(marked), "cache_unchanged": cache_files() == before,
                      "children": len(multiprocessing.active_children()), "left": support.live_pids(root)}))
"""


def child_code(root, method, search, marked_name, cache_before, body):
    setup = SETUP.format(
        root=str(root / "run"),
        method=method,
        search=search,
        marked_name=marked_name,
        cache_before=cache_before,
    )
    return textwrap.dedent(setup) + textwrap.dedent(body) + textwrap.dedent(REPORT)


def assert_ended_cleanly(report):
    assert report["cache_unchanged"]
    assert report["children"] == 0 and report["left"] == []


@pytest.mark.slow
@pytest.mark.parametrize("method", START_METHODS)
@pytest.mark.parametrize(
    "search, cache_before", [("similarity", True), ("similarity", False), ("query", True), ("cropped", False)]
)
def test_a_worker_that_dies_ends_the_call(tmp_path, method, search, cache_before):
    body = """
        try:
            call()
            error = None
        except RuntimeError as raised:
            error = str(raised)
    """
    code = child_code(tmp_path, method, search, "die-here.png", cache_before, body)
    child = subprocess.run(
        [sys.executable, "-c", code], env=child_env(), capture_output=True, text=True, timeout=LIMIT
    )
    assert child.returncode == 0, child.stderr
    report = json.loads(child.stdout.splitlines()[-1])
    assert report["error"].startswith("a worker process died (killed by SIGKILL)")
    if search == "query":  # a one-file map knows which file the worker was on
        assert repr(report["marked"]) in report["error"]
    assert_ended_cleanly(report)


@pytest.mark.slow
@pytest.mark.parametrize("method", START_METHODS)
@pytest.mark.parametrize("search", ["similarity", "cropped"])
def test_an_interrupt_ends_the_workers_and_keeps_the_cache(tmp_path, method, search):
    body = """
        try:
            call()
            error = None
        except KeyboardInterrupt:
            error = "KeyboardInterrupt"
    """
    code = child_code(tmp_path, method, search, "wait-here.png", True, body)
    # A session of its own: Ctrl-C in a terminal reaches the whole process group, workers too.
    child = subprocess.Popen(
        [sys.executable, "-c", code],
        env=child_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    try:
        deadline = time.monotonic() + LIMIT
        while not (tmp_path / "run" / "waiting").exists():
            assert child.poll() is None and time.monotonic() < deadline, child.stderr.read()
            time.sleep(0.05)
        os.killpg(child.pid, signal.SIGINT)
        out, err = child.communicate(timeout=LIMIT)
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
    assert child.returncode == 0, err
    report = json.loads(out.splitlines()[-1])
    assert report["error"] == "KeyboardInterrupt"
    assert_ended_cleanly(report)


@pytest.mark.slow
@pytest.mark.parametrize("method", START_METHODS)
def test_workers_killed_while_waiting_for_work_do_not_hang_the_shutdown(tmp_path, method):
    """A worker killed while it waits for work holds the task queue's lock for ever; the
    pool's shutdown must not wait for it."""
    code = f"""
        import multiprocessing, os
        import search_index_lib as sil
        import worker_death_support as support

        class ThreeProcessors:
            def __getattr__(self, name):
                return getattr(os, name)
            def cpu_count(self):
                return 3

        sil.Pool = multiprocessing.get_context({method!r}).Pool
        sil.os = ThreeProcessors()  # two workers: one works, one waits
        sil.load_image = support.kill_siblings_then_self
        try:
            sil.load_images([sil.ImageData({str(tmp_path / "photos" / "one.png")!r}, None)])
        except RuntimeError as error:
            print(error)
        print(len(multiprocessing.active_children()), support.live_pids({str(tmp_path)!r}))
    """
    (tmp_path / "photos").mkdir()
    child = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=child_env(),
        capture_output=True,
        text=True,
        timeout=LIMIT,
    )
    assert child.returncode == 0, child.stderr
    error, processes = child.stdout.splitlines()[-2:]
    assert error.startswith("a worker process died (killed by SIGKILL) while working on")
    assert processes == "0 []"


@pytest.mark.slow
@pytest.mark.parametrize(
    "pool",
    [
        pytest.param(
            functools.partial(multiprocessing.get_context("fork").Pool, maxtasksperchild=1), id="retiring"
        ),
        pytest.param(ThreadPool, id="threads"),
    ],
)
def test_workers_a_pool_ends_on_purpose_are_no_deaths(sil, tmp_path, monkeypatch, pool):
    """A pool with a task limit per worker replaces each worker after its task, with exit code
    0; the map runs well past the first replacement, so a false alarm would end it."""
    monkeypatch.setattr(sil, "Pool", pool)
    path = str(save_photo(tmp_path / "large.png", 1200, 900, seed=3))
    records = [sil.ImageData(image_path=path, last_modified=None)] * 40
    vectors = sil.load_images(records)
    expected = sil.load_image(records[0])
    assert len(vectors) == 40 and all(np.array_equal(vector, expected) for vector in vectors)
    assert multiprocessing.active_children() == []
