"""The duplicate finder's resampling tables, built directly, are to the bit those that
np.interp gives column by column (the profiles of every frame cut are compared through them),
and its block means, summed in whole numbers, are to the bit the float32 means."""

import numpy as np
import pytest
from duplicates_support import EDITS, original, write_edit

from search_index_tools.duplicates import descriptor
from search_index_tools.duplicates.reading import THUMBNAIL_SIDE, grey_thumbnail


def interpolated(near, far):
    """The resampling matrix as np.interp makes it: one identity column at a time."""
    span = THUMBNAIL_SIDE - near - far
    positions = near + (np.arange(descriptor.FINE_SIDE) + 0.5) * span / descriptor.FINE_SIDE - 0.5
    identity = np.eye(THUMBNAIL_SIDE)
    pixels = np.arange(THUMBNAIL_SIDE)
    return np.stack(
        [np.interp(positions, pixels, identity[:, column]) for column in range(THUMBNAIL_SIDE)], 1
    )


def test_each_resampling_is_the_interpolation_to_the_bit():
    cuts = sorted({(near[side], far[side]) for near, far in descriptor._AXIS_CUTS for side in (0, 1)})
    assert len(cuts) > 40  # every cut of either picture, up to MAX_CUT on each side
    for near, far in cuts:
        built, expected = descriptor._resampling(near, far), interpolated(near, far)
        assert built.dtype == expected.dtype and built.shape == expected.shape
        assert built.tobytes() == expected.tobytes(), (near, far)
        assert np.allclose(built.sum(axis=1), 1.0)


def test_the_tables_of_every_cut_are_those_of_the_interpolation():
    for side, table in ((0, descriptor._RESAMPLE_A), (1, descriptor._RESAMPLE_B)):
        matrices = np.array([interpolated(near[side], far[side]) for near, far in descriptor._AXIS_CUTS])
        assert table.tobytes() == descriptor._centring(matrices).tobytes()


def _thumbnails(folder):
    """Thumbnails of a photograph and its edits, with the extremes a mean must get right
    (all black, all white, alternating pixels) and noise."""
    paths = [write_edit(folder, name, original()) for name in EDITS]
    read = [grey_thumbnail(path.read_bytes()) for path in paths]
    photos = descriptor.thumbnails_array([found[2] for found in read])
    checker = (np.indices((THUMBNAIL_SIDE, THUMBNAIL_SIDE)).sum(axis=0) % 2 * 255).astype(np.uint8)
    extremes = np.stack([np.zeros_like(checker), np.full_like(checker, 255), checker, 255 - checker])
    noise = np.random.default_rng(2).integers(0, 256, (40, THUMBNAIL_SIDE, THUMBNAIL_SIDE), dtype=np.uint8)
    return np.concatenate([photos, extremes, noise])


@pytest.mark.parametrize(
    "step, margin",
    [
        (THUMBNAIL_SIDE // descriptor.FINE_SIDE, 0),
        ((THUMBNAIL_SIDE - 2 * descriptor.COARSE_MARGIN) // descriptor.COARSE_SIDE, descriptor.COARSE_MARGIN),
    ],
)
def test_block_means_are_the_float32_means_to_the_bit(tmp_path, step, margin):
    thumbnails = _thumbnails(tmp_path)
    grey = thumbnails[:, margin : THUMBNAIL_SIDE - margin, margin : THUMBNAIL_SIDE - margin]
    side = grey.shape[1] // step
    expected = grey.reshape(-1, side, step, side, step).astype(np.float32).mean(axis=(2, 4))
    found = descriptor._block_means(grey, step)
    assert found.dtype == np.float32
    assert found.tobytes() == expected.tobytes()
