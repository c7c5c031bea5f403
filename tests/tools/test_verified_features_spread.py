"""The native keypoint spread chooses exactly the keypoints the numpy reference chooses, on the
keypoints ORB finds in photo-like and smooth pictures (every picture's and every crop's
settings) and on made-up keypoints full of ties; and refuses arguments it cannot use."""

import cv2
import numpy as np
import pytest
from verified_support import smooth_picture, textured_photo

from search_index_tools.verified import _verified_match
from search_index_tools.verified import features as verified_features
from search_index_tools.verified.search import CROP_SETTINGS, PICTURE_SETTINGS


def grey(picture):
    return cv2.cvtColor(picture, cv2.COLOR_BGR2GRAY)


def detected(image, settings):
    """What features_of hands to the spread: ORB's candidates on the (padded) picture."""
    pad = settings.border
    padded = cv2.copyMakeBorder(image, pad, pad, pad, pad, cv2.BORDER_REPLICATE) if pad else image
    return verified_features.detector(settings).detect(padded, None), padded.shape


PICTURES = {
    "photo 1200x800": lambda: grey(textured_photo(1200, 800, 3)),
    "photo 700x900": lambda: grey(textured_photo(700, 900, 8)),
    "smooth 900x600": lambda: grey(smooth_picture(900, 600, 5)),
    "photo 250x170": lambda: grey(textured_photo(250, 170, 11)),
}


@pytest.mark.parametrize("name", sorted(PICTURES))
@pytest.mark.parametrize("settings", [PICTURE_SETTINGS, CROP_SETTINGS], ids=["picture", "crop"])
def test_native_spread_keeps_what_the_reference_keeps_on_orb_keypoints(name, settings):
    keypoints, shape = detected(PICTURES[name](), settings)
    for features in (settings.features, 257, 1):
        chosen = verified_features.FeatureSettings(**{**settings.__dict__, "features": features})
        native = verified_features.spread(keypoints, shape, chosen)
        reference = verified_features.spread_reference(keypoints, shape, chosen)
        assert [id(keypoint) for keypoint in native] == [id(keypoint) for keypoint in reference]
        assert len(native) == min(features, len(keypoints))


def test_the_whole_features_of_a_photo_are_those_of_the_reference_spread(monkeypatch):
    image = grey(textured_photo(1000, 700, 21))
    native = verified_features.features_of(image, 1000, 700, PICTURE_SETTINGS)
    monkeypatch.setattr(verified_features, "spread", verified_features.spread_reference)
    reference = verified_features.features_of(image, 1000, 700, PICTURE_SETTINGS)
    assert len(native.points) > 1000
    np.testing.assert_array_equal(native.points, reference.points)
    np.testing.assert_array_equal(native.descriptors, reference.descriptors)


def made_up(seed, count, shape, kind):
    """Keypoints over `shape` whose responses are all different, drawn from four values
    (ties everywhere), all equal, or partly NaN; some lie exactly on cell edges."""
    rng = np.random.default_rng(seed)
    xs = rng.uniform(0, shape[1] - 1, count)
    ys = rng.uniform(0, shape[0] - 1, count)
    xs[::7] = np.floor(xs[::7] / 48) * 48  # on a cell's left edge
    ys[::5] = np.floor(ys[::5] / 48) * 48 + 48 - 2**-10  # just above a cell's lower edge
    responses = {
        "distinct": rng.uniform(-1e-4, 1e-3, count),
        "tied": rng.integers(0, 4, count) * 0.25,
        "equal": np.full(count, 0.5),
        "nan": np.where(rng.random(count) < 0.2, np.nan, rng.integers(0, 3, count) * 1.0),
        "signed zero": np.where(rng.random(count) < 0.5, -0.0, 0.0),
    }[kind]
    return [cv2.KeyPoint(float(x), float(y), 7.0, -1, float(r)) for x, y, r in zip(xs, ys, responses)]


@pytest.mark.parametrize("kind", ["distinct", "tied", "equal", "nan", "signed zero"])
@pytest.mark.parametrize("count, kept", [(3000, 1000), (500, 499), (40, 7)])
def test_native_spread_settles_ties_and_edges_as_the_reference_does(kind, count, kept):
    shape = (481, 721)
    keypoints = made_up(count + kept, count, shape, kind)
    settings = verified_features.FeatureSettings(
        features=kept, candidates=count, cell=48, work_side=960, levels=8, fast_threshold=5
    )
    native = verified_features.spread(keypoints, shape, settings)
    reference = verified_features.spread_reference(keypoints, shape, settings)
    assert [id(keypoint) for keypoint in native] == [id(keypoint) for keypoint in reference]


@pytest.mark.parametrize(
    "points, responses, settings, message",
    [
        (np.zeros((3, 3), np.float32), np.zeros(3), {}, "points must be an"),
        (np.zeros((3, 2), np.float32), np.zeros(2), {}, "one value per point"),
        (np.array([[1, np.nan]], np.float32), np.zeros(1), {}, "finite"),
        (np.zeros((3, 2), np.float32), np.zeros(3), {"cell": 0}, "positive"),
        (np.zeros((3, 2), np.float32), np.zeros(3), {"count": -1}, "negative"),
    ],
)
def test_native_spread_refuses_unusable_arguments(points, responses, settings, message):
    arguments = {"columns": 4, "cell": 48, "count": 2, **settings}
    with pytest.raises(ValueError, match=message):
        _verified_match.spread_positions(points, responses, **arguments)
