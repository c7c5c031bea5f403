"""load_images: the pool's size and protocol, input order, the start methods and worker errors."""

import multiprocessing

import numpy as np
import pytest
from imaging_support import write_broken, write_picture


class RecordingPool:
    """An in-process pool that logs how it is made, used and shut down."""

    log = []

    def __init__(self, *args, **kwargs):
        self.log.append(("Pool", args, kwargs))

    def __enter__(self):
        self.log.append("enter")
        return self

    def map(self, *args, **kwargs):
        self.log.append(("map", args[0], len(args), kwargs))
        return [args[0](item) for item in args[1]]

    def __exit__(self, *error):
        self.log.append("exit")

    def close(self):
        self.log.append("close")

    def join(self):
        self.log.append("join")


@pytest.mark.parametrize("processors, workers", [(None, 1), (1, 1), (2, 1), (4, 3), (6, 5), (64, 5)])
def test_pool_size_and_protocol(sil, record, tmp_path, monkeypatch, processors, workers):
    monkeypatch.setattr(sil.os, "cpu_count", lambda: processors)
    monkeypatch.setattr(sil, "Pool", RecordingPool)
    RecordingPool.log = []
    path = write_picture(tmp_path, "L", 20, 10)
    assert np.array_equal(sil.load_images([record(path)])[0], sil.load_image(record(path)))
    assert RecordingPool.log == [
        ("Pool", (workers,), {}),
        "enter",
        ("map", sil.load_image, 2, {}),
        "exit",
        "close",
        "join",
    ]


def _vectors_in_process(sil, records):
    return [sil.load_image(r) for r in records]


def _assert_same_vectors(got, expected):
    assert len(got) == len(expected)
    for one, other in zip(got, expected):
        assert (one is None and other is None) or np.array_equal(one, other)


@pytest.mark.slow
def test_input_order_with_files_of_very_different_sizes(sil, record, tmp_path, monkeypatch):
    monkeypatch.setattr(sil.os, "cpu_count", lambda: 4)  # three workers finishing out of order
    sizes = [(2000, 1500), (8, 6), (9, 7), (1600, 1200), (5, 9), (10, 10)] * 2
    records = [record(write_picture(tmp_path, "RGB", w, h, seed)) for seed, (w, h) in enumerate(sizes)]
    records.insert(5, record(write_broken(tmp_path, "truncated-jpeg")))
    records.insert(2, record(write_broken(tmp_path, "text")))
    vectors = sil.load_images(records)
    assert vectors[2] is None and vectors[6] is None and sum(v is None for v in vectors) == 2
    _assert_same_vectors(vectors, _vectors_in_process(sil, records))


@pytest.mark.slow
def test_every_start_method(sil, record, tmp_path, start_method):
    records = [
        record(write_picture(tmp_path, "RGBA", 30, 20)),
        record(write_broken(tmp_path, "text")),
        record(write_picture(tmp_path, "P", 20, 30)),
    ]
    _assert_same_vectors(sil.load_images(records), _vectors_in_process(sil, records))
    assert multiprocessing.active_children() == []


def test_first_worker_error_reaches_the_caller_unchanged(sil, record, tmp_path):
    good = record(write_picture(tmp_path, "RGB", 40, 30))
    missing = record(tmp_path / "gone.jpg")
    with pytest.raises(FileNotFoundError) as in_process:
        sil.load_image(missing)
    with pytest.raises(FileNotFoundError) as from_pool:
        sil.load_images([good, missing, good])
    assert str(from_pool.value) == str(in_process.value) and from_pool.value.filename == str(
        missing.image_path
    )
    assert multiprocessing.active_children() == []
