"""Helpers for the cropped-region search tests: a reference matcher written with the plain
OpenCV calls, a listing stand-in, and a fake per-image step whose result count is read from
the image path (so ranking can be tested with exact counts)."""

import os
import re
from pathlib import Path

import cv2
import numpy as np
from PIL import Image
from testsupport import photo_array

import search_index_lib


def reference_points(image_path, crop):
    """The matched image points as the OpenCV calls give them, or None."""
    image = cv2.imread(image_path, 0)
    if image is None or crop.shape[0] > image.shape[0] or crop.shape[1] > image.shape[1]:
        return None
    orb = cv2.ORB_create()
    image_keypoints, image_descriptors = orb.detectAndCompute(image, None)
    _, crop_descriptors = orb.detectAndCompute(crop, None)
    matches = cv2.BFMatcher(cv2.NORM_HAMMING, crossCheck=True).match(image_descriptors, crop_descriptors)
    matches = sorted(matches, key=lambda match: match.distance)
    points = [image_keypoints[m.queryIdx].pt for m in matches]
    return [(int(x), int(y)) for x, y in points] or None


def save_grey(path, pixels):
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    Image.fromarray(np.asarray(pixels, dtype=np.uint8)).save(path)
    return str(path)


def save_textured(path, width, height, seed):
    return save_grey(path, photo_array(width, height, seed, channels=1))


def save_flat(path, width=320, height=240):
    return save_grey(path, np.full((height, width), 140))


def standin_listing(folder):
    """Image records of a folder tree, sorted by path (stands in for the catalogue's walk)."""
    records = []
    for root, _, files in os.walk(folder):
        for name in sorted(files):
            path = os.path.abspath(os.path.join(root, name))
            if re.search(search_index_lib.FILE_EXTENSION_REGEX, path, re.IGNORECASE):
                records.append(
                    search_index_lib.ImageData(image_path=path, last_modified=os.path.getmtime(path))
                )
    return sorted(records, key=lambda record: record.image_path)


def fake_records(counts):
    """One record per count; the count (or None) travels in the path to fake_process_image."""
    return [
        search_index_lib.ImageData(image_path=f"/fake/{i}:{count}", last_modified=None)
        for i, count in enumerate(counts)
    ]


def fake_process_image(payload):
    image_path, _ = payload
    count = image_path.rsplit(":", 1)[1]
    if count == "None":
        return None
    return search_index_lib.MatchedResult(image_path=image_path, matched_points=[(0, 0)] * int(count))
