"""The pixel stage's acceptance among many pictures: every picture weighed is one more chance
for an unrelated smooth region to fit a crop roughly, so the bars a placement must pass tighten
with the number of pictures the crop was weighed against, while a faithful copy still passes."""

import dataclasses

import cv2
import numpy as np
import pytest
from verified_support import smooth_picture, textured_photo, write

from search_index_tools.verified import pixel_proposals
from search_index_tools.verified import pixels as verified_pixels
from search_index_tools.verified import search as verified_search
from search_index_tools.verified.features import thumbnail
from search_index_tools.verified.search import verified_cropped_matches

SETTINGS = verified_pixels.PIXEL_SETTINGS
FREELY = SETTINGS.freely_weighed


def bars(settings):
    """The acceptance bars, each as 'how much is allowed': larger is looser."""
    return (
        -settings.min_correlation,
        -settings.min_structure_correlation,
        settings.max_mean_difference,
    )


@pytest.mark.parametrize("weighed", [0, 1, 155, FREELY - 1, FREELY])
def test_the_bars_hold_as_they_are_up_to_the_pictures_weighed_freely(weighed):
    assert SETTINGS.among(weighed) == SETTINGS


def test_the_bars_tighten_with_every_further_picture_weighed_and_nothing_else_changes():
    counts = [FREELY + 1, 2 * FREELY, 4 * FREELY, 20 * FREELY, 10**9]
    tightened = [SETTINGS.among(count) for count in counts]
    looser = [bars(SETTINGS)] + [bars(settings) for settings in tightened]
    for before, after in zip(looser, looser[1:]):
        assert all(tight < loose for tight, loose in zip(after, before))
    # Still bars a copy can pass, however many pictures were weighed.
    assert tightened[-1].min_correlation < 1.0 and tightened[-1].max_mean_difference > 0.0
    unchanged = {"min_correlation", "min_structure_correlation", "max_mean_difference"}
    for settings in tightened:
        for field in dataclasses.fields(SETTINGS):
            if field.name not in unchanged:
                assert getattr(settings, field.name) == getattr(SETTINGS, field.name)


def grey_smooth(seed):
    return cv2.cvtColor(smooth_picture(640, 480, seed), cv2.COLOR_BGR2GRAY)


def rough_copy(region, amplitude, seed):
    """The region made lighter and flatter, with a soft grey-level wobble of `amplitude`
    added: it still looks like the region, but fits it only as roughly as an unrelated smooth
    region of another picture can fit by chance (0: a faithful copy, only lighter)."""
    rng = np.random.default_rng(seed)
    wobble = cv2.GaussianBlur(rng.normal(0, 1, region.shape).astype(np.float32), (0, 0), 12)
    edited = region.astype(np.float32) + wobble / wobble.std() * amplitude
    return np.clip(edited * 0.8 + 20, 0, 255).astype(np.uint8)


PICTURES = {f"p{seed}": grey_smooth(seed) for seed in range(11, 17)}


def placed_in(crop, weighed):
    """The pictures the crop is placed in among PICTURES, weighed against `weighed` pictures."""
    search = verified_pixels.PixelSearch(crop)
    for order, (path, grey) in enumerate(PICTURES.items()):
        search.scan(order, path, thumbnail(grey, 64))
    placements = search.placements(lambda path: (thumbnail(PICTURES[path], 256), (640, 480)), weighed)
    return [placement.path for placement in placements]


@pytest.mark.parametrize(
    "amplitude, seed, among_many",
    [
        (0.0, 1, True),  # a faithful copy: placed however many pictures were weighed
        (1.2, 2, False),  # rough fits: placed among few pictures, not among many
        (1.2, 3, False),
        (1.4, 1, False),
        (1.4, 2, False),
        (1.6, 1, False),
    ],
)
def test_a_rough_fit_placed_among_few_pictures_is_refused_among_many(amplitude, seed, among_many):
    crop = rough_copy(PICTURES["p11"][100:300, 150:420], amplitude, seed)
    assert placed_in(crop, 155) == ["p11"]
    assert placed_in(crop, FREELY) == ["p11"]  # as a library that scans every picture
    assert placed_in(crop, 20_000) == (["p11"] if among_many else [])
    if among_many:
        assert placed_in(crop, 100_000) == ["p11"]


@pytest.fixture
def proposing_road(monkeypatch):
    """Libraries of more than two pictures use the candidate index, of more than four the
    pixel index, which proposes at most three pictures to scan."""
    monkeypatch.setattr(verified_search, "CANDIDATES", 2)
    monkeypatch.setattr(verified_search, "FALLBACK_CANDIDATES", 3)
    monkeypatch.setattr(verified_search, "PIXEL_STAGE_LIMIT", 4)
    monkeypatch.setattr(verified_search, "PIXEL_INDEX_ROAD", "unbounded")
    monkeypatch.setattr(pixel_proposals, "FIRST_SCANNED", 3)
    monkeypatch.setattr(pixel_proposals, "MOST_SCANNED", 3)


def smooth_library(root, crop):
    """A folder of nine pictures (six smooth ones, two with keypoints, which the candidate
    words are learnt from, and the crop's source), and the crop's path and the source's."""
    folder = root / "pictures"
    for seed in range(20, 26):
        write(folder / f"smooth_{seed}.png", smooth_picture(640, 480, seed))
    for seed in (1, 2):
        write(folder / f"textured_{seed}.jpg", textured_photo(640, 480, seed))
    source = write(folder / "source.png", cv2.cvtColor(PICTURES["p11"], cv2.COLOR_GRAY2BGR))
    return write(root / "crop.png", crop), source


@pytest.mark.slow
@pytest.mark.parametrize("amplitude, among_many", [(0.0, True), (1.4, False)])
def test_a_library_weighs_its_proposed_pictures_as_picked_out_of_all_of_them(
    tmp_path, proposing_road, monkeypatch, amplitude, among_many
):
    crop, source = smooth_library(tmp_path, rough_copy(PICTURES["p11"][100:300, 150:420], amplitude, 1))
    weighed = []
    placements = verified_pixels.PixelSearch.placements

    def recorded(search, fine_thumbnail, count=None):
        weighed.append(count)
        return placements(search, fine_thumbnail, count)

    monkeypatch.setattr(verified_pixels.PixelSearch, "placements", recorded)
    folder = str(tmp_path / "pictures")
    assert [match.path for match in verified_cropped_matches(crop, folder)] == [source]
    # Three pictures scanned, but picked by the index out of all nine.
    assert weighed == [9]

    # Were the library's nine pictures many, the rough fit would be refused, the copy not.
    few_counted_freely = dataclasses.replace(SETTINGS, freely_weighed=1)
    monkeypatch.setattr(verified_pixels, "PIXEL_SETTINGS", few_counted_freely)
    matches = verified_cropped_matches(crop, folder)
    assert [match.path for match in matches] == ([source] if among_many else [])
