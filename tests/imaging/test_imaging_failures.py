"""load_image on files that are no image, cannot be decoded or cannot be read, and the
release of every image on every path."""

import os

import pytest
from imaging_support import is_closed, write_animation, write_broken
from PIL import UnidentifiedImageError
from testsupport import run_python


@pytest.mark.parametrize("kind", ["text", "empty", "truncated-jpeg", "truncated-png", "broken-png-stream"])
def test_undecodable_content_gives_none(sil, record, tmp_path, recorded_images, kind):
    assert sil.load_image(record(write_broken(tmp_path, kind))) is None
    assert all(is_closed(image) for image in recorded_images)


@pytest.mark.parametrize(
    "target, error",
    [
        ("missing.png", FileNotFoundError),
        (".", IsADirectoryError),
        pytest.param("/proc/self/mem", OSError, id="read-error"),  # reading offset 0 fails with EIO
    ],
)
def test_files_that_cannot_be_read_raise(sil, record, tmp_path, target, error):
    if target.startswith("/proc") and not os.path.exists(target):
        pytest.skip("needs /proc")
    with pytest.raises(error) as raised:
        sil.load_image(record(tmp_path / target))
    assert raised.value.errno is not None


def test_unreadable_file_raises(tmp_path):
    path = write_animation(tmp_path / "locked.gif")
    path.chmod(0)
    child = run_python(f"""
        import os
        import search_index_lib as sil
        if os.geteuid() == 0:
            os.setuid(65534)  # root reads any file
        try:
            sil.load_image(sil.ImageData({str(path)!r}, None))
        except PermissionError as error:
            print("PermissionError", error.filename)
    """)
    assert child.stdout.split() == ["PermissionError", str(path)], child.stderr


def test_every_image_is_closed_after_a_vector(sil, record, tmp_path, recorded_images):
    path = write_animation(tmp_path / "moving.gif", 40, 30)  # its file stays open until close()
    assert sil.load_image(record(path)).shape == (32 * 32,)
    assert len(recorded_images) == 2 and all(is_closed(image) for image in recorded_images)


def test_images_are_closed_when_a_later_step_fails(sil, record, tmp_path, recorded_images, monkeypatch):
    monkeypatch.setattr(sil, "VECTOR_TENSOR_SIZE", -1)
    with pytest.raises(ValueError):
        sil.load_image(record(write_animation(tmp_path / "moving.gif", 40, 30)))
    assert len(recorded_images) == 2 and all(is_closed(image) for image in recorded_images)


@pytest.mark.parametrize(
    "raised, expected", [(UnidentifiedImageError("odd"), None), (KeyError("x"), KeyError)]
)
def test_errors_of_the_padding_step(sil, record, tmp_path, recorded_images, monkeypatch, raised, expected):
    def failing_padding(image):
        raise raised

    monkeypatch.setattr(sil, "padding_square_image", failing_padding)
    path = write_animation(tmp_path / "moving.gif")
    if expected is None:
        assert sil.load_image(record(path)) is None
    else:
        with pytest.raises(expected):
            sil.load_image(record(path))
    assert all(is_closed(image) for image in recorded_images)


def test_padding_closes_its_canvas_when_paste_fails(sil, recorded_images):
    class Unpasteable:  # has a size, but Pillow cannot paste it
        size = (3, 2)

    with pytest.raises(ValueError):
        sil.padding_square_image(Unpasteable())
    assert len(recorded_images) == 1 and is_closed(recorded_images[0])
