"""The example settings module keeps its cache files in the user's cache folder."""

import os
import subprocess
import sys

import pytest
from testsupport import TESTS_DIR

EXAMPLES = TESTS_DIR.parent / "examples"


@pytest.mark.parametrize("configured", ["", "relative/cache", "absolute"])
def test_example_settings_keep_the_caches_in_the_users_cache_folder(tmp_path, configured):
    # An empty or relative XDG_CACHE_HOME is not a cache folder: the caches would otherwise
    # land in whatever folder the program runs in.
    xdg = str(tmp_path / "xdg") if configured == "absolute" else configured
    env = {**os.environ, "HOME": str(tmp_path / "home"), "XDG_CACHE_HOME": xdg, "PYTHONPATH": str(EXAMPLES)}
    script = "import constants; print(constants.CACHE_METADATA); print(constants.CACHED_INDEXED)"
    result = subprocess.run(
        [sys.executable, "-c", script], cwd=tmp_path, env=env, capture_output=True, text=True, check=True
    )
    cache = (
        tmp_path / "xdg" if configured == "absolute" else tmp_path / "home" / ".cache"
    ) / "search_index_lib"
    assert result.stdout.split() == [
        str(cache / "folder_fingerprint.txt"),
        str(cache / "similarity_index.faiss"),
    ]
    assert cache.is_dir()
    assert not (tmp_path / "search_index_lib").exists() and not (tmp_path / "relative").exists()
