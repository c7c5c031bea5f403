import multiprocessing

import cv2
import pytest
from crop_search_support import fake_process_image, fake_records, save_flat, save_textured


@pytest.fixture
def crop_file(photo, tmp_path):
    path, image = photo
    crop_path = str(tmp_path / "crop.png")
    cv2.imwrite(crop_path, image[50:290, 100:420])
    return crop_path


@pytest.fixture
def fake_matching(sil, monkeypatch):
    """Workers (forked, so they see the rebinding) report the count carried in each path."""
    monkeypatch.setattr(sil, "Pool", multiprocessing.get_context("fork").Pool)
    monkeypatch.setattr(sil, "live_search_process_image", fake_process_image)


@pytest.mark.parametrize(
    "counts, max_return, positions, kept",
    [
        ([12, 40, 12, 7], 25, [1, 0, 2, 3], [0, 1, 2, 3]),
        ([5, None, 9, None, 5], 25, [1, 0, 2], [0, 2, 4]),
        ([None, None], 25, [], []),
        ([], 25, [], []),
        ([3] * 10 + [7] * 20, 25, list(range(10, 30)) + list(range(5)), list(range(30))),
        ([12, 40, 12, 7], 0, [], [0, 1, 2, 3]),
        ([12, 40, 12, 7], -1, [1, 0, 2], [0, 1, 2, 3]),
        ([12, 40, 12, 7], 10**30, [1, 0, 2, 3], [0, 1, 2, 3]),
    ],
)
def test_ranking_drops_missing_results_and_cuts_like_a_slice(
    sil, fake_matching, crop_file, counts, max_return, positions, kept
):
    records = fake_records(counts)
    ranked, results, matched_records = sil.live_search_similar_cropped(crop_file, records, max_return)
    assert ranked == positions
    assert matched_records == [records[i] for i in kept]
    assert [r.image_path for r in results] == [matched_records[p].image_path for p in positions]


def test_records_may_come_from_an_iterator(sil, fake_matching, crop_file):
    records = fake_records([2, None, 6])
    assert sil.live_search_similar_cropped(crop_file, iter(records))[::2] == (
        [1, 0],
        [records[0], records[2]],
    )


@pytest.mark.parametrize(
    "payload, error, message",
    [
        (("a",), ValueError, "need more than 1 value to unpack"),
        ([], ValueError, "need more than 0 values to unpack"),
        (iter(["a"]), ValueError, "need more than 1 value to unpack"),
        (("a", "b", "c"), ValueError, r"too many values to unpack \(expected 2\)"),
        ((p for p in "abc"), ValueError, r"too many values to unpack \(expected 2\)"),
        (5, TypeError, "'int' object is not iterable"),
    ],
)
def test_payload_must_hold_two_values(sil, payload, error, message):
    with pytest.raises(error, match=f"^{message}"):
        sil.live_search_process_image(payload)


def test_process_image_reads_the_crop_and_matches(sil, photo, crop_file):
    path, _ = photo
    expected = sil.live_search_find_matched(path, cv2.imread(crop_file, 0))
    assert expected is not None
    assert sil.live_search_process_image([path, crop_file]) == expected


@pytest.mark.parametrize("records", [[], fake_records([4])])
@pytest.mark.parametrize(
    "crop, error", [("missing.png", FileNotFoundError), ("notes.png", ValueError), ("folder.png", ValueError)]
)
def test_unreadable_crop_is_reported_before_any_worker_starts(
    sil, monkeypatch, tmp_path, records, crop, error
):
    (tmp_path / "notes.png").write_text("not a picture")
    (tmp_path / "folder.png").mkdir()
    pools = []
    monkeypatch.setattr(sil, "Pool", lambda *args: pools.append(args))
    crop_path = str(tmp_path / crop)
    with pytest.raises(error, match=crop) as raised:
        sil.live_search_similar_cropped(crop_path, records)
    assert pools == []
    if error is FileNotFoundError:
        assert raised.value.filename == crop_path


def test_featureless_crop_finds_nothing(sil, photo, tmp_path):
    path, _ = photo
    crop = save_flat(tmp_path / "sky.png", 160, 120)
    assert sil.live_search_similar_cropped(crop, fake_records([]) + [sil.ImageData(path, None)]) == (
        [],
        [],
        [],
    )


@pytest.mark.slow
def test_results_cross_back_from_every_kind_of_worker(sil, tmp_path, start_method, crop_file, photo):
    paths = [photo[0]] + [save_textured(tmp_path / f"{seed}.png", 320, 240, seed) for seed in (5, 6)]
    records = [sil.ImageData(image_path=p, last_modified=None) for p in paths]
    crop = cv2.imread(crop_file, 0)
    direct = [sil.live_search_find_matched(p, crop) for p in paths]
    ranked, results, kept = sil.live_search_similar_cropped(crop_file, records)
    assert ranked[0] == 0 and kept == records
    assert results == [direct[i] for i in ranked]


def test_pool_is_sized_from_the_processor_count(sil, fake_matching, monkeypatch, crop_file):
    # The size table itself is tested with load_images; here only that the crop search uses it.
    sizes = []
    fork_pool = sil.Pool
    monkeypatch.setattr(sil, "Pool", lambda size: sizes.append(size) or fork_pool(size))
    monkeypatch.setattr(sil.os, "cpu_count", lambda: 4)
    assert sil.live_search_similar_cropped(crop_file, fake_records([3, 8]))[0] == [1, 0]
    assert sizes == [3]
