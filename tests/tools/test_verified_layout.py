"""The candidate index's layout check: a picture's votes count for as much as one similarity
transform from the crop explains, so the crop's own picture outranks pictures that collect
more votes scattered at random."""

from typing import NamedTuple

import numpy as np
import pytest

from search_index_tools.verified import _verified_match, candidates

SETTINGS = {"tolerance": 3.0, "min_scale": 0.1, "max_scale": 10.0, "min_spread": 2.0, "max_hypotheses": 48}


class Crop(NamedTuple):
    descriptors: np.ndarray
    points: np.ndarray


def similarity(points, degrees, scale, shift):
    turn = np.radians(degrees)
    matrix = scale * np.array([[np.cos(turn), -np.sin(turn)], [np.sin(turn), np.cos(turn)]])
    return points @ matrix.T + np.asarray(shift)


def reference_scores(pictures, weights, crop, picture, settings):
    """The score of every picture by its definition, over every pair of its votes."""
    scores = {}
    for number in dict.fromkeys(pictures.tolist()):
        mine = np.flatnonzero(pictures == number)
        best = weights[mine].max()
        if len(mine) >= 3:
            for i in mine:
                for j in mine:
                    step = complex(*(crop[j] - crop[i]))
                    if i == j or abs(step) < settings["min_spread"]:
                        continue
                    turn = complex(*(picture[j] - picture[i])) / step
                    if not settings["min_scale"] <= abs(turn) <= settings["max_scale"]:
                        continue
                    shift = complex(*picture[i]) - turn * complex(*crop[i])
                    placed = [turn * complex(*crop[k]) + shift for k in mine]
                    misses = np.abs(np.array(placed) - (picture[mine, 0] + 1j * picture[mine, 1]))
                    best = max(best, weights[mine][misses <= settings["tolerance"]].sum())
        scores[number] = best
    return scores


def planted_votes(rng, inliers, outliers, degrees=12.0, scale=0.7):
    """A picture's votes: `inliers` that one transform takes from crop to picture, and
    `outliers` placed at random."""
    crop = rng.uniform(0, 300, (inliers + outliers, 2))
    picture = similarity(crop, degrees, scale, (120.0, 40.0))
    picture[inliers:] = rng.uniform(0, 600, (outliers, 2))
    weights = rng.uniform(0.5, 2.0, inliers + outliers)
    return crop.astype(np.float32), picture.astype(np.float32), weights


def native_scores(pictures, weights, crop, picture, settings=SETTINGS):
    numbers, scores = _verified_match.consistent_votes(
        pictures.astype(np.int64), weights, crop, picture, **settings
    )
    return dict(zip(numbers.tolist(), scores.tolist()))


@pytest.mark.parametrize(
    "inliers, outliers, degrees, scale, expected",
    [
        (6, 10, 12.0, 0.7, "inliers"),  # a sighting among chance votes
        (3, 0, -8.0, 1.4, "inliers"),  # the fewest votes that can show a layout
        (2, 0, 5.0, 1.0, "heaviest"),  # two votes fit any transform: they show nothing
        (8, 0, 3.0, 40.0, "heaviest"),  # a scale no crop is seen at
    ],
)
def test_a_picture_scores_the_votes_one_transform_explains(inliers, outliers, degrees, scale, expected):
    rng = np.random.default_rng(inliers * 100 + outliers)
    crop, picture, weights = planted_votes(rng, inliers, outliers, degrees, scale)
    score = native_scores(np.zeros(len(weights)), weights, crop, picture)[0]
    if expected == "inliers":
        assert score == pytest.approx(weights[:inliers].sum())
    else:
        assert score == pytest.approx(weights.max())


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("max_hypotheses", [48, 1000])
def test_scores_of_many_pictures_are_those_of_the_definition(seed, max_hypotheses):
    # Pictures of 1 to 40 votes, some holding a planted layout; pictures with more votes than
    # the hypotheses cap would differ from the definition only through the cap, so cap high.
    rng = np.random.default_rng(seed)
    pictures, crops, places, weights = [], [], [], []
    for number in sorted(rng.choice(1000, 30, replace=False).tolist()):
        count = int(rng.integers(1, 41))
        crop, picture, weight = planted_votes(rng, int(rng.integers(0, count + 1)), 0)
        crop, picture, weight = crop[:count], picture[:count], weight[:count]
        if len(crop) < count:
            crop = np.concatenate([crop, rng.uniform(0, 300, (count - len(crop), 2)).astype(np.float32)])
            picture = np.concatenate(
                [picture, rng.uniform(0, 600, (count - len(picture), 2)).astype(np.float32)]
            )
            weight = np.concatenate([weight, rng.uniform(0.5, 2.0, count - len(weight))])
        pictures += [number] * count
        crops.append(crop)
        places.append(picture)
        weights.append(weight)
    arguments = (
        np.array(pictures, np.int64),
        np.concatenate(weights),
        np.concatenate(crops).astype(np.float32),
        np.concatenate(places).astype(np.float32),
    )
    settings = {**SETTINGS, "max_hypotheses": max_hypotheses}
    found = native_scores(*arguments, settings=settings)
    expected = reference_scores(*arguments, settings)
    assert list(found) == list(expected)
    assert np.allclose(list(found.values()), list(expected.values()))


@pytest.mark.parametrize(
    "pictures, weights, crop, picture",
    [
        (np.zeros(3), np.ones(2), np.zeros((3, 2)), np.zeros((3, 2))),  # fewer weights
        (np.zeros(3), np.ones(3), np.zeros((3, 3)), np.zeros((3, 2))),  # points of three values
        (np.zeros(3), np.ones(3), np.zeros((3, 2)), np.zeros((2, 2))),  # fewer picture points
    ],
)
def test_votes_of_mismatched_lengths_are_refused(pictures, weights, crop, picture):
    with pytest.raises(ValueError, match="votes"):
        _verified_match.consistent_votes(
            pictures.astype(np.int64),
            weights.astype(np.float64),
            crop.astype(np.float32),
            picture.astype(np.float32),
            **SETTINGS,
        )


@pytest.mark.parametrize(
    "points, within",
    [
        (np.array([[0.0, 0.0], [959.75, 1279.5], [12.3, 4.6]]), 1 / 8),
        (np.array([[16383.75, 16383.75]]), 1 / 4),  # the far corner is not read as an unknown place
    ],
)
def test_places_keep_points_to_a_quarter_of_a_pixel(points, within):
    unpacked = candidates.unpack_places(candidates.pack_places(points))
    assert np.abs(unpacked - points).max() <= within


@pytest.fixture(scope="module")
def vocabulary():
    rng = np.random.default_rng(5)
    return candidates.Vocabulary.train(rng.integers(0, 256, (20000, 32), dtype=np.uint8))


@pytest.mark.parametrize("turn", [0.0, 14.0])
def test_the_crops_picture_outranks_one_of_more_votes_that_scatter(vocabulary, turn):
    rng = np.random.default_rng(7)
    descriptors = rng.integers(0, 256, (400, 32), dtype=np.uint8)
    points = rng.uniform(0, 900, (400, 2)).astype(np.float32)
    index = candidates.CandidateIndex(vocabulary)

    def add(path, chosen, places):
        words, marks, packed = candidates.placed_picture_terms(vocabulary, descriptors[chosen], places)
        index.add(path, "key", (900, 900), words, marks, places=packed)

    # Unrelated pictures, so that a vote is rare enough to weigh.
    for number in range(30):
        add(f"other{number}", rng.choice(400, 60, replace=False), rng.uniform(0, 900, (60, 2)))
    crop_part = np.arange(200)  # the crop shows the first 200 descriptors' region of "own"
    crop_points = similarity(points[crop_part], turn, 0.8, (-50.0, 30.0)).astype(np.float32)
    add("own", np.arange(0, 400, 2), points[0:400:2])  # holds half of the crop's descriptors
    add("scattered", np.arange(250), rng.uniform(0, 900, (250, 2)))  # all of them, at random places
    with_layout = index.candidates(Crop(descriptors[crop_part], crop_points), index.paths(), 2)
    without_layout = index.candidates(descriptors[crop_part], index.paths(), 2)
    assert without_layout[0] == "scattered"  # it has more votes ...
    assert with_layout[0] == "own"  # ... but only the crop's own picture keeps its layout


@pytest.mark.parametrize("best_of", [1, 5, 40])
def test_scoring_only_pictures_that_may_be_among_the_best_keeps_the_best(best_of):
    rng = np.random.default_rng(best_of)
    pictures, crops, places, weights = [], [], [], []
    for number in range(300):
        count = int(rng.integers(1, 25))
        crop, picture, weight = planted_votes(rng, int(rng.integers(0, count + 1)), count)
        pictures += [number] * count
        crops.append(crop[:count])
        places.append(picture[:count])
        weights.append(np.round(weight[:count], 1))  # equal totals and scores happen
    arguments = (
        np.array(pictures, np.int64),
        np.concatenate(weights),
        np.concatenate(crops),
        np.concatenate(places),
    )
    every = native_scores(*arguments)
    some = native_scores(*arguments, settings={**SETTINGS, "best_of": best_of})
    assert len(some) < len(every)  # the bound left pictures out ...
    assert all(every[number] == score for number, score in some.items())
    threshold = sorted(every.values(), reverse=True)[best_of - 1]
    assert {n for n, score in every.items() if score >= threshold} <= set(some)  # ... never the best
