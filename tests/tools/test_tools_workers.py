"""The command's pool: its worker count (processors, --workers, memory), the picture decoders
in its workers under every start method, the module's answers unchanged to the bit, and the
verified search's workers reading HEIC/HEIF and AVIF too."""

import functools
import multiprocessing

import numpy as np
import pool_items
import pytest
from formats_support import SETTINGS_PATTERN, copy_roll
from PIL import Image
from testsupport import START_METHODS, TESTS_DIR, quick_first, run_python
from tools_support import Counts

from search_index_tools import formats, workers
from search_index_tools.verified import search as verified_search
from search_index_tools.verified import verified_cropped_matches

MB = 2**20


def big_picture(path, width, height):
    Image.new("L", (width, height), 128).save(path)  # compresses to almost nothing
    return str(path)


@pytest.mark.parametrize(
    "processors, requested, items, memory, side, expected",
    [
        (2, None, 10, None, 100, (2, False)),  # a worker per processor
        (16, None, 3, None, 100, (3, False)),  # never more than the pictures
        (2, 6, 10, None, 100, (6, False)),  # --workers N past the processors
        (2, 6, 1, None, 100, (1, False)),
        # 200 MB + 12 bytes x 4000^2 = 392 MB a worker
        (8, None, 10, 1000 * MB, 4000, (2, True)),
        (8, None, 10, 300 * MB, 4000, (1, True)),  # at least one, whatever the memory
        (8, 4, 10, 4000 * MB, 4000, (4, False)),
    ],
)
def test_worker_count(processors, requested, items, memory, side, expected, monkeypatch, tmp_path):
    monkeypatch.setattr(workers, "available_processors", lambda: processors)
    monkeypatch.setattr(workers, "available_memory", lambda: memory)
    large = big_picture(tmp_path / "large.png", side, side * 3 // 4)
    small = big_picture(tmp_path / "small.png", 64, 48)
    pictures = [large] + [small] * (items - 1)
    assert workers.worker_count(pictures, requested) == expected


def test_memory_bound_reads_headers_safely(tmp_path):
    import os

    fifo = tmp_path / "pipe.jpg"
    os.mkfifo(fifo)  # never opened: a read would wait for a writer for ever
    (tmp_path / "text.png").write_text("not a picture")
    picture = big_picture(tmp_path / "wide.png", 3000, 20)
    assert workers.longer_side(str(fifo)) is None
    assert workers.longer_side(str(tmp_path / "text.png")) is None
    assert workers.largest_side([str(fifo), str(tmp_path / "text.png"), picture]) == 3000


@pytest.fixture
def roll_folder(tmp_path, written_roll):
    pictures, others = copy_roll(written_roll, tmp_path / "roll", tmp_path / "outside")
    return tmp_path / "roll", pictures, others


@pytest.mark.parametrize("method", quick_first(*START_METHODS))
def test_command_pool_reads_every_format_with_the_modules_answers(method, roll_folder, sil, monkeypatch):
    folder, pictures, others = roll_folder
    monkeypatch.setenv("SEARCH_INDEX_LIB_FEATURE_STORE", "off")
    monkeypatch.setattr(sil, "FILE_EXTENSION_REGEX", SETTINGS_PATTERN)
    formats.register_decoders()  # as the command does, in the caller
    # multiprocessing's own pool at the module's size, its workers given the decoders
    monkeypatch.setattr(
        sil,
        "Pool",
        functools.partial(multiprocessing.get_context(method).Pool, initializer=formats.register_decoders),
    )
    expected_index, expected_rows = sil.index_a_directory(str(folder))
    expected = expected_index.reconstruct_n(0, expected_index.ntotal)
    assert {str(picture.path) for picture in pictures.values()} <= {row.image_path for row in expected_rows}

    counts = Counts()
    binding = workers.CommandPoolBinding(counts, requested=3, start_method=method)
    monkeypatch.setattr(sil, "Pool", binding)
    monkeypatch.setattr(sil, "CACHED_INDEXED", sil.CACHED_INDEXED + ".second")
    index, rows = sil.index_a_directory(str(folder))
    assert rows == expected_rows
    assert np.array_equal(index.reconstruct_n(0, index.ntotal), expected)
    assert counts.events == [("start", len(rows))] + ["item"] * len(rows)
    assert multiprocessing.active_children() == []


@pytest.mark.parametrize("method", quick_first(*START_METHODS))
def test_verified_search_workers_read_every_format(method, roll_folder, sil, monkeypatch):
    folder, pictures, _ = roll_folder
    monkeypatch.setattr(sil, "FILE_EXTENSION_REGEX", SETTINGS_PATTERN)
    monkeypatch.setattr(verified_search, "IN_PROCESS_LIMIT", 0)  # every picture read by a worker
    for name in ("turned_heic", "turned_avif"):
        matches = verified_cropped_matches(
            str(pictures[name].crop),
            str(folder),
            3,
            use_store=False,
            mp_context=multiprocessing.get_context(method),
            processes=2,
        )
        assert matches[0].path == str(pictures[name].path)


def test_verified_search_refuses_a_bad_worker_count(roll_folder):
    folder, pictures, _ = roll_folder
    for bad, error in (
        (0, ValueError),
        (-1, ValueError),
        (1.5, TypeError),
        ("2", TypeError),
        (True, TypeError),
    ):
        with pytest.raises(error, match="processes"):
            verified_cropped_matches(str(pictures["upright_heic"].crop), str(folder), processes=bad)


def test_items_are_not_started_for_an_empty_map_and_errors_pass_unchanged(monkeypatch):
    counts = Counts()
    binding = workers.CommandPoolBinding(counts, requested=2, start_method="fork")
    with binding(5) as pool:
        assert pool.map(pool_items.scrambled_square, []) == []
    pool.close()
    pool.join()
    assert multiprocessing.active_children() == []
    with pytest.raises(ValueError, match="item 7 is bad"):
        with binding(5) as pool:
            pool.map(pool_items.fails_on_seven, range(30))
    assert multiprocessing.active_children() == []


@pytest.mark.parametrize("method", quick_first(*START_METHODS))
def test_a_dying_worker_ends_the_modules_call(method):
    result = run_python(
        f"""
        import search_index_lib as sil
        from search_index_tools import workers
        from search_index_tools.progress import ProgressReporter
        import multiprocessing, sys

        if __name__ == "__main__":
            binding = workers.CommandPoolBinding(ProgressReporter(False, sys.stderr), 2, {method!r})
            sil.Pool = binding
            import pool_items
            try:
                with sil.Pool(1) as pool:
                    pool.map(pool_items.dies_on_three, range(12))
            except Exception as error:
                print("ended:", type(error).__name__, error)
            print("left:", len(multiprocessing.active_children()))
        """,
        cwd=TESTS_DIR / "tools",
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert "ended: RuntimeError a worker process died" in result.stdout
    assert "left: 0" in result.stdout


def test_workers_switch_is_checked_and_gives_the_same_index(find_images, photos, settings, tmp_path):
    bad = find_images("--workers", "0", "index", photos)
    assert bad.returncode == 2 and bad.stdout == ""
    assert "--workers" in bad.stderr and "at least 1" in bad.stderr
    cache = tmp_path / "cli_cache"
    indexes = []
    for count in ("1", "3"):
        for stale in cache.iterdir():
            stale.unlink()
        done = find_images("index", photos, "--workers", count)
        assert done.returncode == 0, done.stderr
        indexes.append((cache / "index.faiss").read_bytes())
    assert indexes[0] == indexes[1]


def test_binding_says_when_memory_holds_the_workers_down(sil, monkeypatch, tmp_path):
    monkeypatch.setenv("SEARCH_INDEX_LIB_FEATURE_STORE", "off")
    monkeypatch.setattr(workers, "available_memory", lambda: 500 * MB)  # room for one 4000-pixel worker
    records = [
        sil.ImageData(image_path=big_picture(tmp_path / f"p{number}.png", 4000, 3000), last_modified=None)
        for number in range(3)
    ]
    counts = Counts()
    binding = workers.CommandPoolBinding(counts, requested=3, start_method="fork")
    monkeypatch.setattr(sil, "Pool", binding)
    vectors = sil.load_images(records)
    assert len(vectors) == 3 and all(vector is not None for vector in vectors)
    assert binding.notes == [
        "1 worker instead of 3: the largest pictures would not fit in the available memory with more"
    ]
