"""Every fast road is declared with the names it stands in for, in src/fast_roads.cpp, and is
taken only while each of them is still the module's own: rebinding any one of them to a
stand-in that only passes the call on closes the road, and the specified work is done."""

import os
import re
import sqlite3
import sys
import types
from pathlib import Path

import numpy as np
import pytest
from testsupport import save_photo

DECLARATIONS = Path(__file__).resolve().parents[2] / "src" / "fast_roads.cpp"


def declared_roads():
    """{road: [names]} as src/fast_roads.cpp declares them."""
    text = DECLARATIONS.read_text()
    lists = {
        name: re.findall(r'"([^"]+)"', body)
        for name, body in re.findall(r"constexpr Names (\w+) = \{(.*?)\};", text, re.S)
    }
    roads = re.findall(r'\{FastRoad::\w+,\s+"(\w+)",\s+(?:true|false),\s+(\w+)\}', text)
    return {road: lists[names] for road, names in roads}


ROADS = declared_roads()


def pass_through(value):
    """A stand-in for `value` that does exactly what it does, as another object."""
    if isinstance(value, types.ModuleType):

        class Forwarding(types.ModuleType):
            def __getattr__(self, name):
                return getattr(value, name)

        return Forwarding(value.__name__)
    if isinstance(value, type):
        return type(
            value.__name__, (value,), {"__module__": value.__module__, "__qualname__": value.__qualname__}
        )

    def passing_on(*args, **kwargs):
        return value(*args, **kwargs)

    for attribute in ("__module__", "__name__", "__qualname__"):
        setattr(passing_on, attribute, getattr(value, attribute, "passing_on"))
    return passing_on


def rebind(sil, monkeypatch, name):
    *path, last = name.split(".")
    owner = sil
    for step in path:
        owner = getattr(owner, step)
    monkeypatch.setattr(owner, last, pass_through(getattr(owner, last)))


def code_calls(code, run):
    """The local variables of every call of the Python function with `code` during run()."""
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is code:
            calls.append(dict(frame.f_locals))

    sys.setprofile(profile)
    try:
        run()
    finally:
        sys.setprofile(None)
    return calls


def stored(sil, table, path=None):
    """How many entries the store holds in `table` (of `path`); none without a store."""
    store = sil.CACHED_INDEXED + ".features.sqlite"
    if not os.path.exists(store):
        return 0
    with sqlite3.connect(store) as connection:
        if not connection.execute("SELECT 1 FROM sqlite_master WHERE name = ?", (table,)).fetchone():
            return 0
        if path is None:
            return connection.execute(f"SELECT count(*) FROM {table}").fetchone()[0]
        return connection.execute(
            f"SELECT count(*) FROM {table} WHERE path = ?", (os.fsencode(os.path.abspath(path)),)
        ).fetchone()[0]


def photos(folder):
    return [str(save_photo(folder / f"photo{number}.jpg", 160, 120, seed=number)) for number in range(2)]


# Each scenario: set-up with every name the module's own, then `close()` (the rebinding, or
# nothing), then the road's workload; returns whether the road was taken.


def stored_vectors(sil, tmp_path, close):
    folder = tmp_path / "photos"
    photos(folder)
    close()
    sil.index_a_directory(str(folder))
    return stored(sil, "vectors") > 0


def stored_vector_pruning(sil, tmp_path, close):
    folder = tmp_path / "photos"
    gone = photos(folder)[0]
    sil.index_a_directory(str(folder))
    os.remove(gone)
    close()
    sil.index_a_directory(str(folder))
    return stored(sil, "vectors", gone) == 0


def crop_of(tmp_path, picture):
    from PIL import Image

    crop = tmp_path / "crop.png"
    Image.open(picture).crop((20, 20, 120, 100)).save(crop)
    return str(crop)


def stored_keypoints(sil, tmp_path, close):
    folder = tmp_path / "photos"
    crop = crop_of(tmp_path, photos(folder)[1])
    close()
    sil.cropped_search(crop, str(folder))
    return stored(sil, "keypoints") > 0


def stored_keypoint_pruning(sil, tmp_path, close):
    folder = tmp_path / "photos"
    pictures = photos(folder)
    crop = crop_of(tmp_path, pictures[1])
    sil.cropped_search(crop, str(folder))
    os.remove(pictures[0])
    close()
    sil.cropped_search(crop, str(folder))
    return stored(sil, "keypoints", pictures[0]) == 0


def compiled_pattern(sil, tmp_path, close):
    search = re.search.__code__
    for name in ("a.jpg", "b.png", "c.txt"):
        (tmp_path / name).touch()
    close()
    calls = code_calls(search, lambda: sil.get_images_absolute_path_recursive_a_directory(str(tmp_path)))
    return not calls


def mapped_index(sil, tmp_path, close):
    folder = tmp_path / "photos"
    photos(folder)
    for _ in range(2):
        sil.index_a_directory(str(folder))
    close()
    db, _ = sil.index_a_directory(str(folder))
    return type(db).__name__ == "MappedIndexFlatL2"


def chunked_rows(sil, tmp_path, close):
    """A build adds its rows a few megabytes at a time: several normalisations."""
    import faiss

    for number in range(4100):
        (tmp_path / f"p{number}.png").touch()
    rng = np.random.default_rng(0)
    sil.load_images = lambda records: [rng.integers(0, 256, sil.DIMENSION, dtype=np.uint8) for _ in records]
    normalise = faiss.normalize_L2.__code__
    close()
    calls = code_calls(normalise, lambda: sil.index_a_directory(str(tmp_path)))
    return len(calls) > 1


SCENARIOS = {
    function.__name__: function
    for function in (
        stored_vectors,
        stored_vector_pruning,
        stored_keypoints,
        stored_keypoint_pruning,
        compiled_pattern,
        mapped_index,
        chunked_rows,
    )
}


def test_every_declared_road_has_a_scenario():
    assert ROADS and set(ROADS) == set(SCENARIOS)


@pytest.mark.parametrize("road", sorted(ROADS))
def test_road_is_taken_while_its_names_are_the_modules_own(sil, tmp_path, monkeypatch, road):
    if road == "chunked_rows":
        monkeypatch.setattr(sil, "load_images", sil.load_images)  # the scenario rebinds it
    assert SCENARIOS[road](sil, tmp_path, lambda: None)


@pytest.mark.parametrize("road, name", [(road, name) for road in sorted(ROADS) for name in ROADS[road]])
def test_rebinding_any_name_of_a_road_closes_it(sil, tmp_path, monkeypatch, road, name):
    if road == "chunked_rows":
        monkeypatch.setattr(sil, "load_images", sil.load_images)
    assert not SCENARIOS[road](sil, tmp_path, lambda: rebind(sil, monkeypatch, name))
