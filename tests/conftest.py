"""Shared fixtures. The suite's own settings module, tests/constants.py, is found through
sys.path, here and in child processes and spawned pool workers."""

import multiprocessing
import signal
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import cv2  # noqa: E402
from testsupport import START_METHODS, quick_first  # noqa: E402

import search_index_lib  # noqa: E402  (needs the path above for `constants`)

# A child forked after its parent ran ORB can wait forever inside OpenCV for the parent's
# worker threads, which the child does not have (a few forks in a hundred). The module's own
# searches never run ORB in the caller, but many tests here do, then fork pools: OpenCV works
# without its thread pool in the test process, and forked workers inherit that.
cv2.setNumThreads(0)

# The Ctrl-C tests interrupt the processes they start, as a terminal does. A run started in
# the background by a shell without job control ignores SIGINT, and every process it starts
# inherits that, so the interrupt would never arrive: take it back as Python's own handler,
# which the processes started here then get as the default.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def sil():
    return search_index_lib


@pytest.fixture(autouse=True)
def cache_files(tmp_path, monkeypatch):
    """Every test gets its own pair of cache files, through the module's settings."""
    metadata = tmp_path / "cache" / "metadata.txt"
    index = tmp_path / "cache" / "index.faiss"
    metadata.parent.mkdir()
    monkeypatch.setattr(search_index_lib, "CACHE_METADATA", str(metadata))
    monkeypatch.setattr(search_index_lib, "CACHED_INDEXED", str(index))
    # A worker started by spawn or forkserver imports the module afresh, with the suite's
    # settings rather than this test's, and their cache names are relative: the test runs in
    # its own folder, so that whatever such a worker stores lands there, not in the checkout.
    monkeypatch.chdir(tmp_path)
    return metadata, index


@pytest.fixture(params=quick_first(*START_METHODS))
def start_method(request, monkeypatch):
    """Runs the test once per multiprocessing start method, by rebinding the module's Pool.
    The quick loop keeps the first (fork): a spawned or forkserver worker starts a fresh
    interpreter that imports the whole stack, several seconds a test."""
    context = multiprocessing.get_context(request.param)
    monkeypatch.setattr(search_index_lib, "Pool", context.Pool)
    return request.param


# Tests that need a real browser or a running Ray cluster are marked so by the fixture they
# take, so that `make quick` can leave them out (marker descriptions: pyproject.toml).
_MARKED_FIXTURES = {"browser": "browser", "cluster": "cluster"}


def pytest_collection_modifyitems(items):
    for item in items:
        for fixture, marker in _MARKED_FIXTURES.items():
            if fixture in getattr(item, "fixturenames", ()):
                item.add_marker(marker)
