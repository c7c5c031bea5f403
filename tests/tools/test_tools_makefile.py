"""The Makefile as a new user meets it: no comments echoed as if they were commands, the demo
without the test tools, and a clear word instead of a failing apt-get when Chromium is missing
and make does not run as root."""

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
MAKE = shutil.which("make")


@pytest.fixture
def dry_run():
    assert MAKE, "make is needed to build the project"

    def run(*targets):
        result = subprocess.run(
            [MAKE, "--no-print-directory", "-n", "-B", *targets],
            cwd=ROOT,
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert result.returncode == 0, result.stderr
        return result.stdout.splitlines()

    return run


def test_no_comment_is_echoed_as_a_command(dry_run):
    lines = dry_run("demo", "test", "bench")
    assert lines and [line for line in lines if line.lstrip().startswith("#")] == []


def test_the_demo_installs_none_of_the_test_tools(dry_run):
    demo = "\n".join(dry_run("demo"))
    assert "scikit-image" in demo and "faiss-cpu" in demo
    tools = ("pytest", "mypy", "ray", "selenium", "chromium", "ruff", "clang-format")
    assert not any(tool in demo for tool in tools)
    test = "\n".join(dry_run("test"))
    assert all(tool in test for tool in tools)


def test_the_test_command_checks_style_and_types_before_any_test(dry_run):
    lines = dry_run("test")
    checks = ["ruff check", "ruff format --check", "clang-format --dry-run -Werror", "-m mypy"]
    first = {check: next((n for n, line in enumerate(lines) if check in line), None) for check in checks}
    tests = next(n for n, line in enumerate(lines) if "-m pytest" in line)
    assert None not in first.values(), first
    assert max(first.values()) < tests
    # Both C++ trees are checked: the module's and the verified search's native part.
    clang = lines[first["clang-format --dry-run -Werror"]]
    assert "src/module/" in clang and "search_index_tools/verified/native/" in clang


def test_format_rewrites_both_languages(dry_run):
    lines = "\n".join(dry_run("format"))
    assert "ruff check --fix" in lines and "ruff format" in lines and "clang-format -i" in lines
    assert "src/module/" in lines


def test_a_user_without_chromium_is_told_what_to_install():
    # A PATH with apt-get but no Chromium; as root, make runs as the user nobody.
    tools = Path(tempfile.mkdtemp(prefix="make-tools-"))
    try:
        tools.chmod(0o755)
        for name in ("id", "apt-get"):
            if shutil.which(name):
                os.symlink(shutil.which(name), tools / name)
        options = {"user": 65534, "group": 65534, "extra_groups": []} if os.geteuid() == 0 else {}
        command = [MAKE, "--no-print-directory", "-o", ".venv/.browser-deps-installed", "browser"]
        result = subprocess.run(
            command, cwd=ROOT, env={"PATH": str(tools)}, capture_output=True, text=True, timeout=60, **options
        )
    finally:
        shutil.rmtree(tools)
    assert result.returncode != 0
    assert "sudo apt-get install chromium chromium-driver" in result.stderr
    assert "apt-get update" not in result.stdout and "lock" not in result.stderr.lower()


def test_the_quick_loop_has_its_tools_and_leaves_out_only_the_marked_tests(dry_run):
    # A fresh clone's first `make quick` must find pytest and the parallel runner installed.
    lines = dry_run("quick")
    installs = "\n".join(line for line in lines if "pip install" in line)
    assert "pytest>=" in installs and "pytest-xdist" in installs
    pytest_line = next(line for line in lines if "-m pytest" in line)
    assert '-m "not slow and not browser and not cluster"' in pytest_line
    assert " -n " in pytest_line
