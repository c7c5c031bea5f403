"""padding_square_image and load_image: the vector Pillow's own pipeline gives, for every mode."""

import numpy as np
import pytest
from imaging_support import MODES, reference_vector, write_animation, write_picture
from PIL import Image

SIDE = 32  # VECTOR_TENSOR_SIZE of the test settings


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(
    "size", [(60, 40), (40, 60), (50, 50), (3, 5)], ids=["landscape", "portrait", "square", "tiny"]
)
def test_vector_is_the_direct_pillow_computation(sil, record, tmp_path, mode, size):
    path = write_picture(tmp_path, mode, *size)
    vector = sil.load_image(record(path))
    assert vector.dtype == np.uint8 and vector.shape == (SIDE * SIDE,)
    assert np.array_equal(vector, reference_vector(path, SIDE))


def test_square_grey_image_of_the_vector_size_gives_its_own_pixels(sil, record, tmp_path):
    pixels = np.random.default_rng(1).integers(0, 256, (SIDE, SIDE), dtype=np.uint8)
    Image.fromarray(pixels).save(tmp_path / "grey.png")
    assert np.array_equal(sil.load_image(record(tmp_path / "grey.png")), pixels.ravel())


def test_transparent_pixels_keep_their_stored_black(sil, record, tmp_path):
    picture = np.zeros((SIDE, SIDE, 4), np.uint8)
    picture[:, SIDE // 2 :] = (200, 200, 200, 255)  # right half opaque grey, left half transparent black
    Image.fromarray(picture).save(tmp_path / "holes.png")
    grid = sil.load_image(record(tmp_path / "holes.png")).reshape(SIDE, SIDE)
    assert (grid[:, : SIDE // 2 - 2] == 0).all() and (grid[:, SIDE // 2 + 2 :] == 200).all()


@pytest.mark.parametrize("size", [(30, 10), (10, 30)], ids=["landscape", "portrait"])
def test_white_band_below_landscape_and_right_of_portrait(sil, record, tmp_path, size):
    Image.new("L", size, 40).save(tmp_path / "flat.png")
    grid = sil.load_image(record(tmp_path / "flat.png")).reshape(SIDE, SIDE)
    if size[0] < size[1]:
        grid = grid.T
    # A third of the rows is the picture, the rest white, up to the filter's blending at the seam.
    assert (grid[:9] == 40).all() and (grid[13:] == 255).all()


@pytest.mark.parametrize("mode", ["L", "P", "RGBA", "I;16"])
def test_padding_keeps_a_square_image_as_the_same_object(sil, mode):
    image = Image.new(mode, (7, 7))
    assert sil.padding_square_image(image) is image and image.mode == mode


@pytest.mark.parametrize("size", [(30, 10), (10, 30)], ids=["landscape", "portrait"])
def test_padding_pastes_top_left_on_a_white_rgb_canvas(sil, size):
    grey = Image.fromarray(np.random.default_rng(2).integers(0, 255, size[::-1], dtype=np.uint8))
    padded = sil.padding_square_image(grey)
    assert padded.mode == "RGB" and padded.size == (30, 30)
    canvas = np.array(padded)
    assert np.array_equal(canvas[: size[1], : size[0]], np.dstack([np.array(grey)] * 3))
    assert (canvas[size[1] :] == 255).all() and (canvas[:, size[0] :] == 255).all()


def test_vector_size_is_read_at_every_call(sil, record, tmp_path, monkeypatch):
    path = write_picture(tmp_path, "RGB", 60, 40)
    monkeypatch.setattr(sil, "VECTOR_TENSOR_SIZE", 8)
    assert np.array_equal(sil.load_image(record(path)), reference_vector(path, 8))


def test_first_frame_of_an_animation(sil, record, tmp_path):
    path = write_animation(tmp_path / "moving.gif")
    assert np.array_equal(sil.load_image(record(path)), reference_vector(path, SIDE))
