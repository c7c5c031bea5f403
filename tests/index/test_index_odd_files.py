"""The similarity search over a folder salted with the odd files real disks hold: it finishes,
indexes exactly the good pictures and answers as it does for a clean copy of them. It runs in
a child interpreter with a time limit, so that a hang fails the test."""

import json

import pytest
from odd_files_support import GOOD, NON_UTF8_NAME
from testsupport import run_python


@pytest.mark.slow
def test_salted_folder_gives_the_results_of_its_clean_copy(tmp_path):
    child = run_python(
        f"""
        import json, os
        from pathlib import Path
        import search_index_lib as sil
        from odd_files_support import salted_and_clean, NON_UTF8_NAME

        root = Path({str(tmp_path)!r})
        salted, clean = salted_and_clean(root / "folders")
        sil.SEARCH_RESULT_LIMIT = 100
        report = {{}}
        for name, folder in (("salted", salted), ("clean", clean)):
            sil.CACHE_METADATA = str(root / f"{{name}}-metadata.txt")
            sil.CACHED_INDEXED = str(root / f"{{name}}-index.faiss")
            _, files = sil.index_a_directory(str(folder))
            found = sil.search_image(str(folder / NON_UTF8_NAME), str(folder))
            report[name] = {{"indexed": sorted(os.path.relpath(f.image_path, folder) for f in files),
                            "found": [os.path.relpath(path, folder) for path in found]}}
        print(json.dumps(report))
    """,
        timeout=120,
    )
    assert child.returncode == 0, child.stderr
    report = json.loads(child.stdout.splitlines()[-1])
    assert report["salted"]["indexed"] == report["clean"]["indexed"] == sorted(GOOD)
    assert report["salted"]["found"] == report["clean"]["found"]
    assert report["salted"]["found"][0] == NON_UTF8_NAME and len(report["salted"]["found"]) == len(GOOD)
