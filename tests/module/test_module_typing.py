"""The installed type information matches the module and lets a type checker check a host."""

import subprocess
import sys

import pytest
from testsupport import TESTS_DIR, child_env

EXAMPLES = TESTS_DIR.parent / "examples"

pytest.importorskip("mypy")


def run_mypy(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=cwd, env=child_env(), capture_output=True, text=True, timeout=300
    )


@pytest.mark.slow
def test_stub_matches_the_runtime_module(tmp_path):
    result = run_mypy("mypy.stubtest", "search_index_lib", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.slow
def test_type_checker_accepts_the_example_host_and_catches_misuse(tmp_path):
    cache = ("--cache-dir", str(tmp_path / "mypy-cache"))
    wrong = tmp_path / "wrong_host.py"
    wrong.write_text(
        "import search_index_lib\n"
        "count: int = search_index_lib.search_image('q.jpg', 'photos')\n"
        "search_index_lib.cropped_search(None, 'photos')\n"
        "search_index_lib.live_search_similar_cropped('c.png', [], max_return='5')\n"
    )
    result = run_mypy("mypy", *cache, "--strict", str(EXAMPLES / "host_example.py"), cwd=tmp_path)
    assert result.returncode == 0, result.stdout
    result = run_mypy("mypy", *cache, str(wrong), cwd=tmp_path)
    assert result.returncode == 1
    assert [line.split(":")[1] for line in result.stdout.splitlines() if ": error:" in line] == [
        "2",
        "3",
        "4",
    ]
