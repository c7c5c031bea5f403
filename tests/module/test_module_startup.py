"""Start-up: one module object per process, one interpreter, the namespace it leaves."""

import pytest
from module_support import FUNCTIONS, SETTINGS
from testsupport import run_python

BOUND_IN_ORDER = [
    "json",
    "logging",
    "multiprocessing",
    "re",
    "dataclass",
    "md5",
    "os",
    "Iterable",
    "List",
    "Optional",
    "Tuple",
    "Union",
    "np",
    "Image",
    "UnidentifiedImageError",
    "faiss",
    *SETTINGS,
    "ImageData",
    "MatchedResult",
    "cv2",
    "Pool",
    *FUNCTIONS,
    "__test__",
]
STANDARD = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"}


def test_namespace_holds_exactly_the_bound_names_in_order(sil):
    names = [n for n in vars(sil) if n not in STANDARD]
    assert names == BOUND_IN_ORDER
    assert sil.__doc__ is None and sil.__name__ == "search_index_lib"
    assert sil.__test__ == {}


def test_namespace_entries_are_the_host_objects(sil):
    import dataclasses
    import hashlib
    import multiprocessing
    import typing

    import constants
    import cv2
    import faiss
    import numpy
    import PIL.Image

    assert sil.np is numpy and sil.faiss is faiss and sil.cv2 is cv2
    assert sil.Image is PIL.Image and sil.UnidentifiedImageError is PIL.UnidentifiedImageError
    assert sil.dataclass is dataclasses.dataclass and sil.md5 is hashlib.md5
    assert sil.List is typing.List and sil.Pool is multiprocessing.Pool  # noqa: UP006
    for name in (
        "DIMENSION",
        "FILE_EXTENSION_REGEX",
        "SEARCH_RESULT_LIMIT",
        "VECTOR_TENSOR_SIZE",
        "FLOATTYPE",
    ):
        assert getattr(sil, name) is getattr(constants, name)


def test_import_twice_and_reload_after_removal_give_the_same_module():
    result = run_python("""
        import importlib, sys
        import search_index_lib as first
        first.marker = 1
        importlib.import_module("search_index_lib")
        del sys.modules["search_index_lib"]
        import search_index_lib as second
        print(second is first, second.marker, sys.modules["search_index_lib"] is first)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "1", "True"]


def test_second_interpreter_is_refused():
    result = run_python("""
        import _xxsubinterpreters as interpreters
        import search_index_lib
        for isolated in (True, False):
            interp = interpreters.create(isolated=isolated)
            try:
                interpreters.run_string(interp, "import search_index_lib")
            except Exception as error:
                print(type(error).__name__, error)
            interpreters.destroy(interp)
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.strip().splitlines()
    assert len(lines) == 2
    for line in lines:
        assert "ImportError" in line
        assert (
            "Interpreter change detected - this module can only be loaded into one interpreter per process."
        ) in line


def test_logging_is_configured_at_info_once_with_no_handler(sil):
    result = run_python("""
        import logging
        import search_index_lib
        root = logging.getLogger()
        print(root.level == logging.INFO, len(root.handlers))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "1"]


@pytest.mark.parametrize(
    "broken, message",
    [
        ("import numpy as np\nCACHE_METADATA = 'm'\n", "cannot import name CACHED_INDEXED"),
        (None, "No module named 'constants'"),
    ],
)
def test_broken_settings_fail_the_import_and_a_fixed_one_then_imports(tmp_path, broken, message):
    settings_dir = tmp_path / "settings"
    settings_dir.mkdir()
    good = (
        "import numpy as np\nCACHE_METADATA='m'\nCACHED_INDEXED='i'\nDIMENSION=4\n"
        "FILE_EXTENSION_REGEX='x'\nSEARCH_RESULT_LIMIT=1\nVECTOR_TENSOR_SIZE=2\nFLOATTYPE=np.float32\n"
    )
    if broken is not None:
        (settings_dir / "constants.py").write_text(broken)
    code = f"""
        import importlib, sys
        sys.path.insert(0, {str(settings_dir)!r})
        sys.modules.pop("constants", None)
        try:
            import search_index_lib
        except ImportError as error:
            print("failed:", error)
        print("registered:", "search_index_lib" in sys.modules)
        with open({str(settings_dir / "constants.py")!r}, "w") as f:
            f.write({good!r})
        sys.modules.pop("constants", None)
        importlib.invalidate_caches()
        import search_index_lib
        print("imported:", search_index_lib.DIMENSION, callable(search_index_lib.search_image))
    """
    # Without the tests folder on the path, only the settings written here are found.
    result = run_python(code, cwd=tmp_path, tests_path=False)
    assert result.returncode == 0, result.stderr
    out = result.stdout.strip().splitlines()
    assert out[0] == f"failed: {message}"
    assert out[1] == "registered: False"
    assert out[2] == "imported: 4 True"
