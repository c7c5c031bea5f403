"""Function objects: attributes, signatures, pickling, argument binding and entry checks."""

import inspect
import pathlib
import pickle
import pydoc

import numpy as np
import pytest
from module_support import FUNCTIONS


def test_function_attributes(sil):
    for name in FUNCTIONS:
        function = getattr(sil, name)
        assert function.__name__ == function.__qualname__ == name
        assert function.__module__ == "search_index_lib"
        assert function.__kwdefaults__ is None
        assert all(isinstance(v, str) for v in function.__annotations__.values())
        assert function.__defaults__ == ((25,) if name == "live_search_similar_cropped" else None)
        # Type-layout numbers belong to types, never to a function object.
        assert not hasattr(function, "__vectorcalloffset__")
        assert not hasattr(function, "__dictoffset__")
    assert sil.load_image.__annotations__ == {}
    assert sil.absolute_path_recursive_a_directory.__annotations__ == {"return": "Iterable[ImageData]"}
    assert sil.search_images.__annotations__ == {
        "db": "faiss.IndexFlatL2",
        "query_image": "np.ndarray",
        "k": "int",
        "return": "Tuple[np.ndarray, np.ndarray]",
    }
    assert sil.padding_square_image.__doc__ == (
        "\n    Pad the image to make it square.\n    This code added trying to resolve the problem "
        "that images different sizes causing the search to fail\n    "
    )
    assert sil.is_images_in_dir_changed.__doc__ == (
        "\n    Check if the directory has changed since the last time it was indexed\n    "
    )
    assert [n for n in FUNCTIONS if getattr(sil, n).__doc__ is not None] == [
        "padding_square_image",
        "is_images_in_dir_changed",
    ]


def test_signature_and_help_show_parameters_annotations_and_default(sil):
    assert str(inspect.signature(sil.live_search_similar_cropped)) == (
        "(crop_path: 'str', list_image_data: 'List[ImageData]', max_return: 'int' = 25)"
        " -> 'Tuple[List[int], List[MatchedResult]]'"
    )
    assert str(inspect.signature(sil.load_image)) == "(file)"
    text = pydoc.render_doc(sil.search_image, renderer=pydoc.plaintext)
    assert "search_image(image_path: 'str', in_folder_path: 'str') -> 'List[str]'" in text
    module_help = pydoc.render_doc(sil, renderer=pydoc.plaintext)
    assert "cropped_search(image_path: 'str', in_folder_path: 'str')" in module_help


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_pickle_by_reference(sil, name):
    function = getattr(sil, name)
    assert b"search_index_lib" in pickle.dumps(function)
    assert pickle.loads(pickle.dumps(function)) is function


def _python_twin(sil, name):
    """A Python function with the same signature, to compare the interpreter's own errors."""
    params = list(inspect.signature(getattr(sil, name)).parameters.values())
    text = ", ".join(p.name if p.default is p.empty else f"{p.name}={p.default!r}" for p in params)
    scope = {}
    exec(f"def {name}({text}): pass", scope)
    return scope[name]


CALLS = [
    ((), {}),
    ((1,), {}),
    ((1, 2), {}),
    ((1, 2, 3), {}),
    ((1, 2, 3, 4), {}),
    ((), {"nope": 1}),
    ((1,), {"crop_path": "x"}),
    ((1,), {"image_path": "x"}),
    ((1,), {"folder": "x"}),
    ((), {"in_folder_path": "x"}),
    ((1, 2, 3, 4), {"zzz": 1}),
]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_argument_errors_are_worded_like_a_python_function(sil, name):
    twin = _python_twin(sil, name)
    for args, kwargs in CALLS:
        try:
            twin(*args, **kwargs)
        except TypeError as error:
            expected = str(error)
        else:
            continue  # a valid call: the body's own behaviour is tested elsewhere
        with pytest.raises(TypeError) as raised:
            getattr(sil, name)(*args, **kwargs)
        assert str(raised.value) == expected, (args, kwargs)


class Text(str):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda m: m.search_image(None, "f"),
            "Argument 'image_path' has incorrect type (expected str, got NoneType)",
        ),
        (
            lambda m: m.search_image("q", pathlib.Path("f")),
            "Argument 'in_folder_path' has incorrect type (expected str, got PosixPath)",
        ),
        (
            lambda m: m.search_image(None, None),
            "Argument 'image_path' has incorrect type (expected str, got NoneType)",
        ),
        (
            lambda m: m.cropped_search(Text("c"), "f"),
            "Argument 'image_path' has incorrect type (expected str, got Text)",
        ),
        (
            lambda m: m.search_images(None, None, True),
            "Argument 'k' has incorrect type (expected int, got bool)",
        ),
        (
            lambda m: m.search_images(None, None, k=np.int64(3)),
            "Argument 'k' has incorrect type (expected int, got numpy.int64)",
        ),
        (
            lambda m: m.live_search_find_matched(7, None),
            "Argument 'image_path' has incorrect type (expected str, got int)",
        ),
        (
            lambda m: m.live_search_similar_cropped(None, [], True),
            "Argument 'crop_path' has incorrect type (expected str, got NoneType)",
        ),
        (
            lambda m: m.live_search_similar_cropped("c", [], max_return=np.int32(1)),
            "Argument 'max_return' has incorrect type (expected int, got numpy.int32)",
        ),
    ],
)
def test_entry_checks_reject_anything_but_the_exact_type(sil, call, message):
    with pytest.raises(TypeError) as raised:
        call(sil)
    assert str(raised.value) == message


def test_rebound_and_deleted_names_are_seen_by_the_next_call(sil, monkeypatch):
    # get_images_... reaches absolute_path_recursive_a_directory through the namespace.
    records = [
        sil.ImageData(image_path="/x/a.png", last_modified=1.0),
        sil.ImageData(image_path="/x/b.txt", last_modified=2.0),
    ]
    monkeypatch.setattr(sil, "absolute_path_recursive_a_directory", lambda folder: iter(records))
    assert sil.get_images_absolute_path_recursive_a_directory("anything") == records[:1]
    monkeypatch.setattr(sil, "FILE_EXTENSION_REGEX", r"\.txt$")
    assert sil.get_images_absolute_path_recursive_a_directory("anything") == records[1:]
    # Deleted by hand and put back in place: re-adding it would move it to the end of the
    # namespace, which the start-up test checks for order.
    namespace = vars(sil)
    saved = dict(namespace)
    del sil.absolute_path_recursive_a_directory
    try:
        with pytest.raises(NameError, match="name 'absolute_path_recursive_a_directory' is not defined"):
            sil.get_images_absolute_path_recursive_a_directory("anything")
    finally:
        namespace.clear()
        namespace.update(saved)
