"""The pixel index that proposes pictures to the pixel stage in large libraries: its vectors
ignore brightness and contrast, it ranks a smooth crop's own picture first, it is kept per
file on disk, and a scan bounded by it refines what a scan of every picture refines."""

import os
import sqlite3

import cv2
import numpy as np
import pytest
from verified_support import smooth_picture, textured_photo, write

from search_index_tools.verified import _verified_match, pixel_index, pixel_index_store, pixel_proposals
from search_index_tools.verified import pixels as verified_pixels
from search_index_tools.verified import search as verified_search
from search_index_tools.verified.search import verified_cropped_matches


def grey_smooth(seed, size=(640, 480)):
    return cv2.cvtColor(smooth_picture(*size, seed), cv2.COLOR_BGR2GRAY)


def coarse_of(grey):
    side = verified_pixels.THUMBNAIL_SETTINGS.coarse_side
    factor = side / max(grey.shape)
    size = (round(grey.shape[1] * factor), round(grey.shape[0] * factor))
    return cv2.resize(grey, size, interpolation=cv2.INTER_AREA)


@pytest.mark.parametrize("gain, offset", [(1.0, 0.0), (0.6, 40.0), (1.4, -30.0), (0.8, 25.0)])
def test_vectors_ignore_brightness_and_contrast(gain, offset):
    coarse = coarse_of(grey_smooth(3)).astype(np.float32)
    edited = np.clip(coarse * gain + offset, 0, 255)
    assert edited.min() > 0 and edited.max() < 255  # no level clipped: an exact affine change
    original, changed = pixel_index.picture_vectors(coarse), pixel_index.picture_vectors(edited)
    assert original.shape == (pixel_index.WINDOWS, pixel_index.DIMENSION)
    # Windows at the edge of flatness may count as flat in one copy only (as they do on the
    # coarse scan); every other one differs only by the rounding to signed bytes.
    both = original.any(axis=1) & changed.any(axis=1)
    assert both.mean() > 0.9
    assert np.abs(original[both].astype(int) - changed[both].astype(int)).max() <= 2
    # And a vector is of unit length, as the scores need.
    lengths = np.linalg.norm(original.astype(np.float64) / pixel_index.SCALE, axis=1)
    assert np.abs(lengths[lengths > 0] - 1.0).max() < 0.02


def test_a_flat_picture_has_no_vectors_and_scores_zero():
    vectors = pixel_index.picture_vectors(np.full((48, 64), 90, np.uint8))
    assert not vectors.any()
    index = pixel_index.PixelIndex()
    index.put("flat", "k", vectors)
    crop = grey_smooth(4)[100:260, 200:420]
    assert index.scores(pixel_index.crop_vectors(crop), ["flat"]).tolist() == [0.0]


@pytest.mark.parametrize(
    "box, gain, offset",
    [
        ((200, 120, 220, 160), 1.0, 0.0),
        ((60, 300, 150, 120), 0.7, 35.0),  # a smaller crop, lighter and flatter
        ((380, 40, 240, 170), 1.3, -20.0),
    ],
)
def test_a_smooth_crop_ranks_its_own_picture_first(box, gain, offset):
    library = {seed: grey_smooth(seed) for seed in range(20, 50)}
    index = pixel_index.PixelIndex()
    for seed, grey in library.items():
        index.put(f"p{seed}", "k", pixel_index.picture_vectors(coarse_of(grey)))
    left, top, width, height = box
    crop = np.clip(library[33][top : top + height, left : left + width] * gain + offset, 0, 255)
    scores = index.scores(pixel_index.crop_vectors(crop.astype(np.uint8)), [f"p{seed}" for seed in library])
    assert int(np.argmax(scores)) == list(library).index(33)


@pytest.mark.parametrize("count", [1, 5, 12, 13, 30])
def test_at_least_counts_as_the_scores_do(count):
    index = pixel_index.PixelIndex()
    paths = []
    for seed in range(20, 38):
        index.put(f"p{seed}", "k", pixel_index.picture_vectors(coarse_of(grey_smooth(seed))))
        paths.append(f"p{seed}")
    queries = pixel_index.crop_vectors(grey_smooth(25)[120:280, 200:420])
    scores = index.scores(queries, [*paths, "not indexed"])
    level = float(np.sort(scores)[::-1][12])  # the 13th best score
    assert index.at_least(queries, [*paths, "not indexed"], level, count) == (count <= 13)


def test_entries_are_replaced_and_removed():
    index = pixel_index.PixelIndex()
    vectors = {seed: pixel_index.picture_vectors(coarse_of(grey_smooth(seed))) for seed in (1, 2, 3)}
    index.put("a", "k1", vectors[1])
    index.put("b", "k2", vectors[2])
    crop = pixel_index.crop_vectors(grey_smooth(3)[100:260, 200:420])
    before = index.scores(crop, ["a", "b"])
    index.put("a", "k3", vectors[3])  # "a" changed into picture 3
    after = index.scores(crop, ["a", "b"])
    assert after[0] > before[0] and after[1] == before[1] and index.key("a") == "k3"
    index.remove("b")
    assert index.scores(crop, ["b"]).tolist() == [-np.inf] and index.key("b") is None
    index.put("c", "k4", vectors[2])
    assert len(index) == 2 and sorted(index.paths()) == ["a", "c"]
    with pytest.raises(ValueError, match="signed bytes"):
        index.put("d", "k", vectors[1].astype(np.float32))


def stored_index(file, seeds=(1, 2, 3)):
    """A store at `file` holding pictures p<seed> (key k<seed>); their vectors."""
    vectors = {seed: pixel_index.picture_vectors(coarse_of(grey_smooth(seed))) for seed in seeds}
    store = pixel_index_store.PixelIndexStore(file)
    index = store.load()
    for seed in seeds:
        index.put(f"p{seed}", f"k{seed}", vectors[seed])
    store.save(index, [f"p{seed}" for seed in seeds], [])
    store.close()
    pixel_index_store._LOADED.clear()  # as a new process would find it
    return vectors


def test_the_store_keeps_entries_per_file_and_reuses_free_rows(tmp_path):
    file = str(tmp_path / "pixels.sqlite")
    vectors = stored_index(file)
    store = pixel_index_store.PixelIndexStore(file)
    loaded = store.load()
    assert {path: loaded.key(path) for path in loaded.paths()} == {"p1": "k1", "p2": "k2", "p3": "k3"}
    for seed in (1, 2, 3):
        assert np.array_equal(loaded.vectors(f"p{seed}"), vectors[seed])
    assert isinstance(loaded.mapped, np.memmap)  # read in place, not copied
    loaded.remove("p2")
    loaded.put("p1", "k1b", vectors[3])
    store.save(loaded, ["p1"], ["p2"])
    # Written entries read from the file from then on, in this process too.
    assert loaded.added == {} and np.array_equal(loaded.vectors("p1"), vectors[3])
    loaded.put("p4", "k4", vectors[2])
    store.save(loaded, ["p4"], [])
    store.close()
    pixel_index_store._LOADED.clear()

    again = pixel_index_store.PixelIndexStore(file).load()
    assert {path: again.key(path) for path in again.paths()} == {"p1": "k1b", "p3": "k3", "p4": "k4"}
    assert np.array_equal(again.vectors("p1"), vectors[3]) and np.array_equal(again.vectors("p4"), vectors[2])
    # A changed picture's entry went to a row no entry held (its old one was kept until the
    # change was listed) and rows freed are used again: the file does not grow with changes.
    assert again.stored["p1"][1] != 0 and len(again.mapped) == 3


def rows_file_of(file):
    return file + pixel_index_store.ROWS_SUFFIX


def cut_short(file):
    with open(rows_file_of(file), "r+b") as rows:
        rows.truncate(os.path.getsize(rows_file_of(file)) - 100)


def another_header(file):
    with open(rows_file_of(file), "r+b") as rows:
        rows.write(b"something else")


def removed(file):
    os.unlink(rows_file_of(file))


def sqlite_made_anew(file):
    os.unlink(file)  # a new SQLite file draws a new token: the rows file is not its own


@pytest.mark.parametrize("spoil", [cut_short, another_header, removed, sqlite_made_anew])
def test_a_stale_rows_file_drops_the_entries_and_starts_again(tmp_path, spoil):
    file = str(tmp_path / "pixels.sqlite")
    vectors = stored_index(file)
    spoil(file)
    store = pixel_index_store.PixelIndexStore(file)
    index = store.load()
    assert len(index) == 0  # every picture is to be described again, none read from bad rows
    index.put("p2", "k2", vectors[2])
    store.save(index, ["p2"], [])
    store.close()
    pixel_index_store._LOADED.clear()
    again = pixel_index_store.PixelIndexStore(file).load()
    assert again.paths() == ["p2"] and np.array_equal(again.vectors("p2"), vectors[2])


def test_a_store_that_may_only_be_read_ignores_a_stale_rows_file(tmp_path):
    file = str(tmp_path / "pixels.sqlite")
    stored_index(file)
    cut_short(file)
    store = pixel_index_store.PixelIndexStore(file)
    store._store.writable = False  # as after a read-only file or a lock
    index = store.load()
    assert len(index) == 0
    queries = pixel_index.crop_vectors(grey_smooth(2)[100:260, 200:420])
    assert index.scores(queries, ["p1", "p2"]).tolist() == [-np.inf, -np.inf]
    store.close()
    with sqlite3.connect(file) as db:  # the listed entries were left for a writer to deal with
        assert db.execute("SELECT count(*) FROM pictures").fetchone() == (3,)


def test_a_damaged_row_is_found_by_its_checksum(tmp_path):
    file = str(tmp_path / "pixels.sqlite")
    stored_index(file)
    index = pixel_index_store.PixelIndexStore(file).load()
    row = index.stored["p2"][1]
    with open(rows_file_of(file), "r+b") as rows:
        rows.seek(pixel_index_store.HEADER_BYTES + row * pixel_index_store.ROW_BYTES + 700)
        rows.write(b"\x55\x66")
    assert index.damaged(["p1", "p2", "p3", "unknown"]) == ["p2"]


def test_a_mapped_index_survives_another_process_starting_the_file_again(tmp_path):
    file = str(tmp_path / "pixels.sqlite")
    vectors = stored_index(file)
    mapped = pixel_index_store.PixelIndexStore(file).load()
    queries = pixel_index.crop_vectors(grey_smooth(2)[100:260, 200:420])
    before = mapped.scores(queries, ["p1", "p2", "p3"])
    pixel_index_store._LOADED.clear()
    another_header(file)
    other = pixel_index_store.PixelIndexStore(file)
    other.save(other.load(), [], ["p1"])  # it finds the file stale and starts it again
    other.close()
    assert os.path.getsize(rows_file_of(file)) == pixel_index_store.HEADER_BYTES
    # The first map still reads the rows it mapped (a file cut short under a map would end
    # the process on the first read past its end).
    assert np.array_equal(mapped.scores(queries, ["p1", "p2", "p3"]), before)
    assert np.array_equal(mapped.vectors("p3"), vectors[3])


def reference_scores(vectors, queries):
    """Exact integer inner products, best over windows and queries, in numpy."""
    weights = pixel_index.quantised_queries(queries).astype(np.int64)
    return (vectors.astype(np.int64) @ weights.T).reshape(len(vectors), -1).max(axis=1)


def native_roads():
    return ["portable", *(["avx2"] if _avx2() else [])]


def _avx2():
    try:
        with open("/proc/cpuinfo") as info:
            return " avx2 " in info.read().replace("\n", " ")
    except OSError:
        return False


@pytest.mark.parametrize("road", native_roads())
@pytest.mark.parametrize("windows", [1, 7, 8, 9, 484])  # whole groups of eight, a rest, or both
def test_every_native_road_gives_numpys_integer_scores(road, windows):
    rng = np.random.default_rng(windows)
    vectors = rng.integers(-127, 128, (40, windows, pixel_index.DIMENSION), dtype=np.int8)
    vectors[3] = 127  # the largest products there can be
    weights = rng.integers(-32767, 32768, (5, pixel_index.DIMENSION), dtype=np.int16)
    weights[0] = 32767
    rows = rng.permutation(40).astype(np.int64)
    expected = (vectors.astype(np.int64) @ weights.T.astype(np.int64)).reshape(40, -1).max(axis=1)
    assert np.array_equal(
        _verified_match.best_window_scores(vectors, weights, rows, road=road), expected[rows]
    )


@pytest.mark.parametrize(
    "vectors, weights, rows, message",
    [
        (np.zeros((2, 3, 31), np.int8), np.zeros((1, 32), np.int16), [0], "vectors must be"),
        (np.zeros((2, 3, 32), np.int8), np.zeros((0, 32), np.int16), [0], "queries must be"),
        (np.zeros((2, 3, 32), np.int8), np.zeros((1, 32), np.int16), [2], "outside"),
        (np.zeros((2, 3, 32), np.int8), np.zeros((1, 32), np.int16), [-1], "outside"),
    ],
)
def test_the_native_scores_refuse_bad_arrays(vectors, weights, rows, message):
    with pytest.raises((ValueError, IndexError), match=message):
        _verified_match.best_window_scores(vectors, weights, np.array(rows, np.int64))


@pytest.mark.parametrize("crop_seed, turns", [(21, 5), (22, 1), (40, 3)])
def test_the_index_scores_are_numpys_exactly(tmp_path, crop_seed, turns):
    rng = np.random.default_rng(crop_seed)
    vectors = np.stack([pixel_index.picture_vectors(coarse_of(grey_smooth(seed))) for seed in range(20, 26)])
    noise = rng.integers(-127, 128, (4, pixel_index.WINDOWS, pixel_index.DIMENSION), dtype=np.int8)
    vectors = np.concatenate([vectors, noise])
    queries = pixel_index.crop_vectors(grey_smooth(crop_seed)[150:300, 100:400])[:turns]
    mapped = np.memmap(tmp_path / "v", np.int8, "w+", shape=vectors.shape)
    mapped[:] = vectors
    rows = rng.permutation(len(vectors)).astype(np.int64)
    native = _verified_match.best_window_scores(mapped, pixel_index.quantised_queries(queries), rows)
    assert np.array_equal(native, reference_scores(vectors, queries)[rows])
    index = pixel_index.PixelIndex(mapped, {f"q{row}": ("k", row, 0) for row in range(len(vectors))})
    index.put("fresh", "k", vectors[2])  # one in memory: the same score as from the map
    scores = index.scores(queries, ["q2", "fresh"])
    assert scores[0] == scores[1] == reference_scores(vectors[2:3], queries)[0] / pixel_index.SCORE_UNIT


def library_scan(seeds, flat=()):
    """The coarse thumbnails of a library of smooth pictures (and of even ones, of the `flat`
    grey levels: pictures no crop with content fits), and their pixel index."""
    coarse = {f"p{seed}": coarse_of(grey_smooth(seed)) for seed in seeds}
    coarse.update({f"f{level}": np.full((48, 64), level, np.uint8) for level in flat})
    index = pixel_index.PixelIndex()
    for path, thumbnail in coarse.items():
        index.put(path, "k", pixel_index.picture_vectors(thumbnail))
    return coarse, index


def placements_of(search):
    def fine(path):
        grey = np.full((480, 640), int(path[1:]), np.uint8) if path[0] == "f" else grey_smooth(int(path[1:]))
        return cv2.resize(grey, (256, 192), interpolation=cv2.INTER_AREA), (640, 480)

    return search.placements(fine)


@pytest.mark.slow
@pytest.mark.parametrize(
    "crop_seed, box, gain, offset, answer",
    [
        (25, (200, 120, 220, 160), 1.0, 0.0, ["p25"]),
        # Lighter and flatter; it fits other smooth pictures about as well: no answer, either way.
        (31, (340, 260, 220, 160), 0.7, 35.0, None),
        (90, (200, 120, 220, 160), 1.0, 0.0, []),  # of a picture outside the library
    ],
)
def test_a_bounded_scan_refines_what_scanning_every_picture_refines(crop_seed, box, gain, offset, answer):
    left, top, width, height = box
    crop = grey_smooth(crop_seed)[top : top + height, left : left + width] * gain + offset
    crop = np.clip(crop, 0, 255).astype(np.uint8)
    coarse, index = library_scan(range(20, 34), flat=range(10, 250, 8))
    paths = list(coarse)

    every = verified_pixels.PixelSearch(crop)
    every.scan_many([(order, path, coarse[path]) for order, path in enumerate(paths)])
    bounded = verified_pixels.PixelSearch(crop)
    settled = pixel_proposals.bounded_scan(
        bounded,
        lambda chosen: bounded.scan_many([(paths.index(path), path, coarse[path]) for path in chosen]),
        index,
        paths,
        first=8,
        most=len(paths),
    )

    assert settled
    assert len(bounded.scanned) < len(paths)  # the bound let the even pictures go unscanned
    # The spots refined are those of the full scan, and so is the answer.
    refined = verified_pixels.PIXEL_SETTINGS.candidates
    assert bounded.best_pictures(refined) == every.best_pictures(refined)
    assert placements_of(bounded) == placements_of(every)
    if answer is not None:
        assert [placement.path for placement in placements_of(bounded)] == answer


def test_a_bound_not_reached_in_time_gives_up():
    crop = grey_smooth(25)[120:280, 200:420]
    coarse, index = library_scan(range(20, 40))
    paths = list(coarse)
    search = verified_pixels.PixelSearch(crop)
    scanned = []

    def scan(chosen):
        scanned.extend(chosen)
        search.scan_many([(paths.index(path), path, coarse[path]) for path in chosen])

    # A slack no coarse score can beat: every batch leaves the bound unmet ...
    assert not pixel_proposals.bounded_scan(
        search, scan, index, paths, first=2, most=8, slack=10.0, hopeless_unscanned=False
    )
    assert len(scanned) == 8 and len(set(scanned)) == 8
    # ... which the scores show before any scan.
    scanned.clear()
    assert not pixel_proposals.bounded_scan(search, scan, index, paths, first=2, most=8, slack=10.0)
    assert scanned == []


SHIPPED_ROAD = verified_search.PIXEL_INDEX_ROAD


@pytest.fixture
def small_pixel_limit(monkeypatch):
    """Libraries of more than two pictures use the candidate index, of more than four the
    pixel index."""
    monkeypatch.setattr(verified_search, "CANDIDATES", 2)
    monkeypatch.setattr(verified_search, "FALLBACK_CANDIDATES", 3)
    monkeypatch.setattr(verified_search, "PIXEL_STAGE_LIMIT", 4)
    monkeypatch.setattr(verified_search, "PIXEL_INDEX_ROAD", "bounded")


def pixel_file():
    import search_index_lib

    return search_index_lib.CACHED_INDEXED + verified_search.PIXELS_SUFFIX


def stored_keys():
    with sqlite3.connect(pixel_file()) as db:
        return {os.fsdecode(row[0]): row[1] for row in db.execute("SELECT path, file_key FROM pictures")}


def spoil_row(path):
    """Overwrites part of the stored row of `path` in the library's pixel index."""
    with sqlite3.connect(pixel_file()) as db:
        (row,) = db.execute("SELECT row FROM pictures WHERE path = ?", (os.fsencode(path),)).fetchone()
    with open(pixel_file() + pixel_index_store.ROWS_SUFFIX, "r+b") as rows:
        rows.seek(pixel_index_store.HEADER_BYTES + row * pixel_index_store.ROW_BYTES)
        rows.write(bytes(range(200)))


@pytest.mark.slow
def test_a_large_library_places_a_lighter_smooth_crop_and_keeps_its_index_per_file(
    tmp_path, small_pixel_limit, monkeypatch
):
    folder = tmp_path / "pictures"
    for seed in range(20, 30):
        write(folder / f"smooth_{seed}.png", smooth_picture(640, 480, seed))
    for seed in (1, 2):  # the candidate words are learnt from pictures with keypoints
        write(folder / f"textured_{seed}.jpg", textured_photo(640, 480, seed))
    source = smooth_picture(640, 480, 11)
    crop = np.clip(source[120:280, 200:420].astype(np.float32) * 0.7 + 40, 0, 255).astype(np.uint8)
    crop_path = write(tmp_path / "crop.png", crop)
    assert verified_cropped_matches(crop_path, str(folder)) == []  # its picture is not there yet
    before = stored_keys()
    assert len(before) == 12

    # The picture is added: only its entry is made, and the crop is placed in it by pixels.
    added = write(folder / "source.png", source)
    made = []
    monkeypatch.setattr(
        pixel_proposals,
        "picture_vectors",
        lambda coarse: made.append(coarse) or pixel_index.picture_vectors(coarse),
    )
    matches = verified_cropped_matches(crop_path, str(folder))
    assert [match.path for match in matches] == [added]
    assert matches[0].placed_by == verified_search.PLACED_BY_PIXELS
    added_key = stored_keys()[added]
    assert len(made) == 1 and stored_keys() == {**before, added: added_key}

    # Its stored row is damaged: that search answers nothing by pixels (the order it proposed
    # could be wrong) and drops the entry; the next one describes the picture again.
    spoil_row(added)
    assert verified_cropped_matches(crop_path, str(folder)) == []
    assert added not in stored_keys()
    assert [match.path for match in verified_cropped_matches(crop_path, str(folder))] == [added]
    assert len(made) == 2

    # The picture changes into another one: its entry follows, and the crop is placed nowhere.
    write(folder / "source.png", smooth_picture(640, 480, 12))
    os.utime(added, ns=(os.stat(added).st_atime_ns, os.stat(added).st_mtime_ns + 10**9))
    assert verified_cropped_matches(crop_path, str(folder)) == []
    assert len(made) == 3 and stored_keys()[added] != added_key

    # A picture that disappears leaves the index.
    os.unlink(added)
    verified_cropped_matches(crop_path, str(folder))
    assert set(stored_keys()) == set(before)


def lighter_smooth_crop_library(root):
    """A folder of smooth pictures (and two with keypoints, which the candidate words are
    learnt from) holding the source of a lighter, flatter smooth crop; the crop's path and the
    source's."""
    folder = root / "pictures"
    for seed in range(20, 26):
        write(folder / f"smooth_{seed}.png", smooth_picture(640, 480, seed))
    for seed in (1, 2):
        write(folder / f"textured_{seed}.jpg", textured_photo(640, 480, seed))
    source = smooth_picture(640, 480, 11)
    crop = np.clip(source[120:280, 200:420].astype(np.float32) * 0.7 + 40, 0, 255).astype(np.uint8)
    return write(root / "crop.png", crop), write(folder / "source.png", source)


@pytest.mark.slow
@pytest.mark.parametrize(
    "road, found", [("off", False), ("bounded", True), ("unbounded", True), ("default", True)]
)
def test_the_pixel_index_road_chooses_whether_a_large_library_places_smooth_crops(
    tmp_path, small_pixel_limit, monkeypatch, road, found
):
    # "default": the road as the library ships it.
    road = SHIPPED_ROAD if road == "default" else road
    monkeypatch.setattr(verified_search, "PIXEL_INDEX_ROAD", road)
    crop, source = lighter_smooth_crop_library(tmp_path)
    matches = verified_cropped_matches(crop, str(tmp_path / "pictures"))
    assert [match.path for match in matches] == ([source] if found else [])
    assert os.path.exists(pixel_file()) == (road != "off")  # no index is kept while it is off


def test_an_unknown_pixel_index_road_is_refused(tmp_path, small_pixel_limit, monkeypatch):
    monkeypatch.setattr(verified_search, "PIXEL_INDEX_ROAD", "everything")
    crop, _ = lighter_smooth_crop_library(tmp_path)
    with pytest.raises(ValueError, match="PIXEL_INDEX_ROAD must be one of"):
        verified_cropped_matches(crop, str(tmp_path / "pictures"))


@pytest.mark.slow
def test_below_the_limit_every_road_answers_alike_and_keeps_no_pixel_index(
    tmp_path, small_pixel_limit, monkeypatch
):
    monkeypatch.setattr(verified_search, "PIXEL_STAGE_LIMIT", 100)
    crop, source = lighter_smooth_crop_library(tmp_path)
    answers = {}
    for road in verified_search.PIXEL_INDEX_ROADS:
        monkeypatch.setattr(verified_search, "PIXEL_INDEX_ROAD", road)
        answers[road] = verified_cropped_matches(crop, str(tmp_path / "pictures"))
    assert [match.path for match in answers["off"]] == [source]
    assert answers["bounded"] == answers["unbounded"] == answers["off"]  # scores and corners too
    assert not os.path.exists(pixel_file())
