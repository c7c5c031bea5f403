"""Shared fixtures. The suite's own settings module, tests/constants.py, is found through
sys.path, here and in child processes and spawned pool workers."""
import multiprocessing
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

TESTS_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(TESTS_DIR))

import search_index_lib  # noqa: E402  (needs the path above for `constants`)

START_METHODS = [m for m in ("fork", "spawn", "forkserver") if m in multiprocessing.get_all_start_methods()]


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
    return metadata, index


@pytest.fixture(params=START_METHODS)
def start_method(request, monkeypatch):
    """Runs the test once per multiprocessing start method, by rebinding the module's Pool."""
    context = multiprocessing.get_context(request.param)
    monkeypatch.setattr(search_index_lib, "Pool", context.Pool)
    return request.param


def child_env(tests_path=True):
    env = dict(os.environ)
    if tests_path:
        env["PYTHONPATH"] = os.pathsep.join([str(TESTS_DIR), env.get("PYTHONPATH", "")])
    else:
        env.pop("PYTHONPATH", None)
    return env


def run_python(code, cwd=None, tests_path=True, timeout=120):
    """Runs `code` in a fresh interpreter; returns the completed process (text output).
    With tests_path, the suite's settings module is importable there."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=child_env(tests_path), cwd=cwd, capture_output=True, text=True, timeout=timeout,
    )
