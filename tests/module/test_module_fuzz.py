"""Every module function called with arbitrary Python values, in a child interpreter: each
call returns or raises, no worker process dies, and the interpreter never dies of a signal
(a crash in the module or in a library it hands a value to)."""

import subprocess
import sys

import pytest
from odd_files_support import NON_UTF8_NAME, salted_and_clean
from testsupport import child_env


@pytest.mark.slow
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_arbitrary_arguments_never_crash_the_interpreter(tmp_path, seed):
    salted, _ = salted_and_clean(tmp_path / "folders")
    paths = [
        str(salted),
        str(salted / "pipe.jpg"),
        str(salted / "bomb.png"),
        str(salted / "photo.jpg"),
        str(salted / NON_UTF8_NAME),
        str(salted / "folder.jpg"),
        str(salted / "truncated.jpg"),
    ]
    (tmp_path / "cache").mkdir(exist_ok=True)
    child = subprocess.run(
        [sys.executable, "-m", "fuzz_support", str(seed), "25", str(tmp_path / "cache"), *paths],
        env=child_env(),
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    last = child.stdout.splitlines()[-1] if child.stdout else ""
    assert child.returncode == 0, f"{child.returncode} after: {last}\n{child.stderr[-2000:]}"
    assert last == "workers died: 0"
