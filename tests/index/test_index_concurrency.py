"""Several processes searching at once on one shared pair of cache files."""

from concurrent.futures import ThreadPoolExecutor

import pytest
from index_support import photo_folder
from testsupport import run_python

SEARCH_LOOP = """
    import os, time
    import search_index_lib as sil
    sil.CACHE_METADATA, sil.CACHED_INDEXED = {metadata!r}, {index!r}
    folder, queries = {folder!r}, {queries!r}
    deadline, rounds = time.monotonic() + 25, 0
    while rounds < 12 and time.monotonic() < deadline:
        query = queries[rounds % len(queries)]
        found = sil.search_image(query, folder)
        strays = [p for p in found if not p.startswith(folder + os.sep)]
        assert not strays, ("paths of another folder", strays)
        assert found[0] == query, (query, found)
        rounds += 1
    print("rounds", rounds)
"""


@pytest.mark.slow
@pytest.mark.parametrize("layout", ["same folder", "different folders"])
def test_concurrent_searches_stay_in_their_folder(tmp_path, cache_files, layout):
    metadata, index = cache_files
    folders = {"a": photo_folder(tmp_path / "a", 4), "b": photo_folder(tmp_path / "b", 4, first_seed=50)}
    names = ["a", "a", "a"] if layout == "same folder" else ["a", "b", "a"]
    scripts = [
        SEARCH_LOOP.format(
            metadata=str(metadata), index=str(index), folder=str(tmp_path / name), queries=folders[name]
        )
        for name in names
    ]
    with ThreadPoolExecutor(len(scripts)) as pool:
        children = list(pool.map(run_python, scripts))
    for child in children:
        assert child.returncode == 0, child.stderr[-3000:]
        word, rounds = child.stdout.split()[-2:]
        assert word == "rounds" and int(rounds) >= 3
