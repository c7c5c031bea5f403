"""Keypoints of the verified search spread over the picture: every grid cell gives its
strongest first, then its second strongest, and so on, so the strongest texture of a picture
cannot take every keypoint."""

from collections import defaultdict

import cv2
import numpy as np
import pytest

from search_index_tools.verified import features as verified_features

SHAPE = (200, 300)


def keypoints(seed, count, tied):
    """Random keypoints over SHAPE; with `tied`, responses come from a handful of values, so
    that equal responses (broken by detection order) are everywhere."""
    rng = np.random.default_rng(seed)
    # A few crowded corners, as strong texture gives.
    xs = np.where(rng.random(count) < 0.5, rng.uniform(0, 40, count), rng.uniform(0, SHAPE[1], count))
    ys = np.where(rng.random(count) < 0.5, rng.uniform(0, 40, count), rng.uniform(0, SHAPE[0], count))
    responses = rng.integers(0, 4, count) * 0.25 if tied else rng.uniform(-1e-4, 1e-3, count)
    return [cv2.KeyPoint(float(x), float(y), 7.0, -1, float(r)) for x, y, r in zip(xs, ys, responses)]


@pytest.mark.parametrize(
    "seed, count, tied", [(1, 900, False), (2, 900, True), (3, 80, True), (4, 5000, False)]
)
@pytest.mark.parametrize("kept", [1, 100, 333])
def test_spread_takes_every_cells_strongest_first_in_rounds(seed, count, tied, kept):
    settings = verified_features.FeatureSettings(
        features=kept, candidates=count, cell=48, work_side=960, levels=8, fast_threshold=5
    )
    found = keypoints(seed, count, tied)
    chosen = verified_features.spread(found, SHAPE, settings)
    position = {id(keypoint): number for number, keypoint in enumerate(found)}
    numbers = [position[id(keypoint)] for keypoint in chosen]
    assert len(chosen) == min(kept, count)
    assert numbers == sorted(numbers)  # in detection order

    columns = -(-SHAPE[1] // settings.cell)
    cells = defaultdict(list)  # cell -> its keypoints' numbers, strongest first (then detection order)
    for number, keypoint in enumerate(found):
        x, y = keypoint.pt
        cells[int(y // settings.cell) * columns + int(x // settings.cell)].append(number)
    for members in cells.values():
        members.sort(key=lambda number: (-found[number].response, number))
    taken = {cell: [n for n in members if n in set(numbers)] for cell, members in cells.items()}
    for cell, members in cells.items():
        # A cell gives its strongest ones, never a weaker one before a stronger one.
        assert taken[cell] == members[: len(taken[cell])]
    if count > kept:
        # Rounds: no cell has given two more than another that still had keypoints to give.
        for cell, members in cells.items():
            if len(taken[cell]) < len(members):
                assert all(len(other) <= len(taken[cell]) + 1 for other in taken.values())
