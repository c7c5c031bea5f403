"""The pixel stage's scan of many coarse thumbnails, shared among threads, keeps the very spots
(scores, places, turns, listing order) that scanning them one by one keeps."""

import cv2
import numpy as np
import pytest
from verified_support import smooth_picture, textured_photo

from search_index_tools.verified import pixels as verified_pixels


def coarse_thumbnails(count):
    """Coarse thumbnails of smooth and blurred busy pictures, of two proportions."""
    thumbnails = []
    for seed in range(count):
        width, height = (64, 48) if seed % 3 else (48, 64)
        colour = smooth_picture(320, 240, seed) if seed % 2 else textured_photo(320, 240, seed)
        grey = cv2.cvtColor(cv2.GaussianBlur(colour, (0, 0), 3.0), cv2.COLOR_BGR2GRAY)
        thumbnails.append(cv2.resize(grey, (width, height), interpolation=cv2.INTER_AREA))
    return thumbnails


def crop_of(seed):
    grey = cv2.cvtColor(cv2.GaussianBlur(smooth_picture(320, 240, seed), (0, 0), 3.0), cv2.COLOR_BGR2GRAY)
    return np.ascontiguousarray(grey[40:160, 60:220])


def one_by_one(crop, pictures):
    search = verified_pixels.PixelSearch(crop)
    for picture in pictures:
        search.scan(*picture)
    return search


@pytest.mark.parametrize("count, processors", [(40, 2), (40, 4), (17, 2), (9, 3)])
def test_threaded_scan_keeps_the_spots_of_a_scan_one_by_one(monkeypatch, count, processors):
    thumbnails = coarse_thumbnails(count)
    # Listing positions out of step with the list's order, and a picture without a spot
    # (a thumbnail smaller than the smallest template) among them.
    pictures = [
        (3 * number + 1, f"picture {number}", thumbnail) for number, thumbnail in enumerate(thumbnails)
    ]
    pictures[4] = (13, "tiny", np.full((4, 4), 128, np.uint8))
    crop = crop_of(1)
    expected = one_by_one(crop, pictures)
    assert len(expected._candidates) == count - 1

    monkeypatch.setattr(verified_pixels, "available_processors", lambda: processors)
    threaded = verified_pixels.PixelSearch(crop)
    threaded.scan_many(pictures)

    assert threaded._candidates == expected._candidates
    assert threaded.scanned == expected.scanned
    assert threaded.best_pictures(5) == expected.best_pictures(5)
