"""The duplicate finder's resampling tables, built directly, are to the bit those that
np.interp gives column by column (the profiles of every frame cut are compared through them)."""

import numpy as np

from search_index_tools.duplicates import descriptor
from search_index_tools.duplicates.reading import THUMBNAIL_SIDE


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
