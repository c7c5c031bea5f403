"""Pictures for the verified cropped search tests: photo-like textures that keep their
keypoints when turned and shrunk, smooth pictures that have almost none, crops cut from them,
and turned copies."""

import os
from pathlib import Path

import cv2
import numpy as np

from search_index_tools.verified import features as verified_features


def textured_photo(width, height, seed):
    """Colour picture with texture at several scales and hard-edged shapes, like a busy photo."""
    rng = np.random.default_rng(seed)
    picture = np.zeros((height, width, 3), np.float32)
    for blur, amplitude in ((1.5, 18), (4, 24), (12, 30)):
        noise = cv2.GaussianBlur(rng.normal(0, 1, (height, width, 3)).astype(np.float32), (0, 0), blur)
        picture += noise * (amplitude / noise.std())
    picture = np.clip(picture + 128, 0, 255).astype(np.uint8)
    for _ in range(60):
        centre = (int(rng.integers(width)), int(rng.integers(height)))
        colour = tuple(int(c) for c in rng.integers(0, 256, 3))
        if rng.random() < 0.5:
            axes = (int(rng.integers(4, width // 12)), int(rng.integers(4, height // 12)))
            cv2.ellipse(picture, centre, axes, float(rng.uniform(0, 180)), 0, 360, colour, -1)
        else:
            corner = (
                centre[0] + int(rng.integers(6, width // 10)),
                centre[1] + int(rng.integers(6, height // 10)),
            )
            cv2.rectangle(picture, centre, corner, colour, -1)
    return picture


def write(path, pixels):
    """Writes through imencode so that any file name (also one that is not UTF-8) works."""
    path = Path(os.fsdecode(path))
    path.parent.mkdir(parents=True, exist_ok=True)
    ok, encoded = cv2.imencode(path.suffix, pixels)
    assert ok
    path.write_bytes(encoded.tobytes())
    return str(path)


def turned(pixels, degrees, scale):
    """The picture turned by `degrees` about its centre and scaled by `scale`, on a canvas
    that holds all of it; also the 2x3 matrix taking original pixels to the new picture."""
    height, width = pixels.shape[:2]
    matrix = cv2.getRotationMatrix2D((width / 2, height / 2), degrees, scale)
    corners = np.array([[0, 0, 1], [width, 0, 1], [width, height, 1], [0, height, 1]], np.float64) @ matrix.T
    shift = -corners.min(axis=0)
    matrix[:, 2] += shift
    size = np.ceil(corners.max(axis=0) + shift).astype(int)
    out = cv2.warpAffine(
        pixels, matrix, (int(size[0]), int(size[1])), flags=cv2.INTER_AREA, borderValue=(255, 255, 255)
    )
    return out, matrix


def dying_reader(job):
    """Stands in for the workers' picture reader and ends its process on a picture named
    'die', as a crash in a decoder would."""
    if "die" in os.path.basename(job[0]):
        os._exit(3)
    return verified_features.picture_features(job)


def smooth_picture(width, height, seed):
    """Colour picture of a gradient with a few broad soft blobs and nothing sharp: too smooth
    for ORB, like gradient wallpapers."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    picture = np.zeros((height, width, 3), np.float32)
    for channel in range(3):
        slope = rng.uniform(-60, 60, 2)
        picture[..., channel] = 128 + slope[0] * (x / width - 0.5) + slope[1] * (y / height - 0.5)
    for _ in range(5):
        cx, cy = rng.uniform(0, width), rng.uniform(0, height)
        sigma = rng.uniform(0.08, 0.16) * width
        blob = np.exp(-((x - cx) ** 2 + (y - cy) ** 2) / (2 * sigma**2))
        picture += blob[..., None] * rng.uniform(-50, 50, 3).astype(np.float32)
    return np.clip(picture, 0, 255).astype(np.uint8)


def straight_edge_picture(width, height, degrees, dark, light):
    """Grey picture of two even regions split by a straight line through its centre, at
    `degrees` from the horizontal (turning down to the right), softened like a photograph."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    angle = np.radians(degrees)
    side = (x - width / 2) * np.sin(angle) - (y - height / 2) * np.cos(angle)
    picture = np.where(side > 0, dark, light).astype(np.float32)
    return np.clip(cv2.GaussianBlur(picture, (0, 0), 1.2), 0, 255).astype(np.uint8)


def disk_picture(width, height, centre, radius, dark, light):
    """Grey picture of a dark disk (centre and radius in pixels, possibly reaching outside)
    on an even lighter ground: its edge is a gentle bend where the radius is large."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    inside = (x - centre[0]) ** 2 + (y - centre[1]) ** 2 < radius * radius
    picture = np.where(inside, dark, light).astype(np.float32)
    return np.clip(cv2.GaussianBlur(picture, (0, 0), 1.2), 0, 255).astype(np.uint8)
