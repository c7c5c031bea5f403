"""Every fast road is declared with the names it stands in for, in src/fast_roads.cpp, and is
taken only while each of them is still the module's own: rebinding any one of them to a
stand-in that only passes the call on closes the road, and the specified work is done."""
import os
import re
import signal
import sqlite3
import sys
import types
from pathlib import Path

import numpy as np
import pytest

from testsupport import run_python, save_photo

DECLARATIONS = Path(__file__).resolve().parents[2] / "src" / "fast_roads.cpp"


def declared_roads():
    """{road: [names]} as src/fast_roads.cpp declares them."""
    text = DECLARATIONS.read_text()
    lists = {name: re.findall(r'"([^"]+)"', body)
             for name, body in re.findall(r"constexpr Names (\w+) = \{(.*?)\};", text, re.S)}
    roads = re.findall(r'\{FastRoad::\w+, "(\w+)", (?:true|false), (\w+)\}', text)
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
        return type(value.__name__, (value,), {"__module__": value.__module__,
                                               "__qualname__": value.__qualname__})
    if value is object.__new__:
        return staticmethod(lambda cls, *args, **kwargs: object.__new__(cls))

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
        return connection.execute(f"SELECT count(*) FROM {table} WHERE path = ?",
                                  (os.fsencode(os.path.abspath(path)),)).fetchone()[0]


@pytest.fixture(scope="module")
def many_files(tmp_path_factory):
    """More empty picture files than one chunk of the fingerprint's text holds."""
    root = tmp_path_factory.mktemp("many")
    for number in range(2100):
        (root / f"photo{number:04d}.jpg").touch()
    return root


@pytest.fixture(scope="module")
def huge_folder(tmp_path_factory):
    root = tmp_path_factory.mktemp("huge")
    for folder in range(20):
        (root / f"part{folder:02d}").mkdir()
        for number in range(1000):
            (root / f"part{folder:02d}" / f"photo{number:04d}.jpg").touch()
    return root


def photos(folder):
    return [str(save_photo(folder / f"photo{number}.jpg", 160, 120, seed=number)) for number in range(2)]


# Each scenario: set-up with every name the module's own, then `close()` (the rebinding, or
# nothing), then the road's workload; returns whether the road was taken.

def stored_vectors(sil, tmp_path, close, folders):
    folder = tmp_path / "photos"
    photos(folder)
    close()
    sil.index_a_directory(str(folder))
    return stored(sil, "vectors") > 0


def stored_vector_pruning(sil, tmp_path, close, folders):
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


def stored_keypoints(sil, tmp_path, close, folders):
    folder = tmp_path / "photos"
    crop = crop_of(tmp_path, photos(folder)[1])
    close()
    sil.cropped_search(crop, str(folder))
    return stored(sil, "keypoints") > 0


def stored_keypoint_pruning(sil, tmp_path, close, folders):
    folder = tmp_path / "photos"
    pictures = photos(folder)
    crop = crop_of(tmp_path, pictures[1])
    sil.cropped_search(crop, str(folder))
    os.remove(pictures[0])
    close()
    sil.cropped_search(crop, str(folder))
    return stored(sil, "keypoints", pictures[0]) == 0


def read_ahead_walk(sil, tmp_path, close, folders):
    """A walk that reads ahead runs a thread of its own, ended with the listing, and looks at
    signals between records: a timer's handler sees that thread while the listing runs."""
    close()
    seen = set()
    before = set(os.listdir("/proc/self/task"))
    previous = signal.signal(signal.SIGALRM, lambda *_: seen.update(os.listdir("/proc/self/task")))
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    try:
        sil.get_images_absolute_path_recursive_a_directory(str(folders["huge"]))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    return bool(seen - before - set(os.listdir("/proc/self/task")))


def native_records(sil, tmp_path, close, folders):
    init = sil.ImageData.__init__.__code__
    close()
    calls = code_calls(init, lambda: sil.get_images_absolute_path_recursive_a_directory(str(folders["many"])))
    return not calls


def fingerprint_text(sil, tmp_path, close, folders):
    """The text made during the walk is made chunk by chunk by json.dumps."""
    import json
    dumps = json.dumps.__code__
    sil.load_images = lambda records: [None for _ in records]  # no file here is a picture
    for _ in range(2):  # index file and fingerprint in place
        sil.index_a_directory(str(folders["many"]))
    close()
    calls = code_calls(dumps, lambda: sil.index_a_directory(str(folders["many"])))
    return any(len(call["obj"]) < 2100 for call in calls)


def compiled_pattern(sil, tmp_path, close, folders):
    search = re.search.__code__
    for name in ("a.jpg", "b.png", "c.txt"):
        (tmp_path / name).touch()
    close()
    calls = code_calls(search, lambda: sil.get_images_absolute_path_recursive_a_directory(str(tmp_path)))
    return not calls


def mapped_index(sil, tmp_path, close, folders):
    folder = tmp_path / "photos"
    photos(folder)
    for _ in range(2):
        sil.index_a_directory(str(folder))
    close()
    db, _ = sil.index_a_directory(str(folder))
    return type(db).__name__ == "MappedIndexFlatL2"


def chunked_rows(sil, tmp_path, close, folders):
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


SCENARIOS = {function.__name__: function for function in (
    stored_vectors, stored_vector_pruning, stored_keypoints, stored_keypoint_pruning, read_ahead_walk,
    native_records, fingerprint_text, compiled_pattern, mapped_index, chunked_rows)}


def test_every_declared_road_has_a_scenario():
    assert ROADS and set(ROADS) == set(SCENARIOS)


@pytest.fixture
def folders(many_files, huge_folder):
    return {"many": many_files, "huge": huge_folder}


@pytest.mark.parametrize("road", sorted(ROADS))
def test_road_is_taken_while_its_names_are_the_modules_own(sil, tmp_path, monkeypatch, folders, road):
    if road in ("chunked_rows", "fingerprint_text"):
        monkeypatch.setattr(sil, "load_images", sil.load_images)  # the scenario rebinds it
    assert SCENARIOS[road](sil, tmp_path, lambda: None, folders)


# A class given a __new__ of its own keeps calling it through its type slot after the
# attribute is deleted again, so that case runs in a process of its own.
IN_A_CHILD = """
import sys
from pathlib import Path
sys.path.insert(0, {here!r})
import search_index_lib as sil
import test_module_fast_roads as roads
class Patch:
    setattr = staticmethod(setattr)
sil.CACHED_INDEXED, sil.CACHE_METADATA = {index!r}, {metadata!r}
folders = {{name: Path(path) for name, path in {folders!r}.items()}}
print("TAKEN", roads.SCENARIOS[{road!r}](sil, Path({tmp!r}), lambda: roads.rebind(sil, Patch(), {name!r}), folders))
"""


@pytest.mark.parametrize("road, name", [(road, name) for road in sorted(ROADS) for name in ROADS[road]])
def test_rebinding_any_name_of_a_road_closes_it(sil, tmp_path, monkeypatch, folders, road, name):
    if name.endswith(".__new__"):
        child = run_python(IN_A_CHILD.format(
            here=str(Path(__file__).parent), index=sil.CACHED_INDEXED, metadata=sil.CACHE_METADATA,
            folders={key: str(path) for key, path in folders.items()}, road=road, tmp=str(tmp_path), name=name))
        assert child.returncode == 0, child.stderr
        assert child.stdout.split()[-2:] == ["TAKEN", "False"]
        return
    if road in ("chunked_rows", "fingerprint_text"):
        monkeypatch.setattr(sil, "load_images", sil.load_images)
    assert not SCENARIOS[road](sil, tmp_path, lambda: rebind(sil, monkeypatch, name), folders)
