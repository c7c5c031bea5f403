"""Whether a keypoint placement of a crop is a sighting of it rather than a chance fit.

A similarity transform fitted to a handful of look-alike keypoints of a large, busy picture
can put the crop's outline inside the picture by chance. The pixels then tell: the picture's
grey levels under the fitted outline, sampled back into the crop's frame, correlate with the
crop's own when the crop is really there, and hardly at all when the fit is a chance one.
The comparison is made on the picture's fine grey thumbnail (kept in the feature store), and
normalised correlation does not care for a change of brightness or contrast.
"""

from __future__ import annotations

from collections.abc import Sequence

import cv2
import numpy as np

# Placed outlines whose shorter side is smaller than this many thumbnail pixels have too few
# samples for a correlation to mean much; their placement is judged by its match count alone.
MIN_SAMPLED_SIDE = 12
# The sample's longer side is capped: more pixels only add JPEG noise, not evidence.
MAX_SAMPLED_SIDE = 64
# A crop region this flat (grey-level standard deviation) gives no correlation worth the name.
MIN_SAMPLE_DEVIATION = 2.0


def placed_correlation(
    crop_grey: np.ndarray, corners: Sequence[Sequence[float]], picture_size: tuple[int, int], fine: np.ndarray
) -> float | None:
    """Normalised correlation between the crop and the picture's thumbnail under the crop's
    outline `corners` (picture pixels, from top-left, clockwise); None when the outline is
    too small on the thumbnail, or the crop too flat, to tell."""
    samples = placed_samples(crop_grey, corners, picture_size, fine)
    return None if samples is None else correlation(*samples)


def placed_agreement(
    crop_grey: np.ndarray, corners: Sequence[Sequence[float]], picture_size: tuple[int, int], fine: np.ndarray
) -> tuple[float, float] | None:
    """(correlation, structure correlation) between the crop and the thumbnail under its
    outline, as placed_correlation; the structure correlation is that of the two once a
    fitted plane is taken from each, which a smooth crop over any slope of the same direction
    does not reach. None when the outline is too small, or the crop too flat, to tell."""
    samples = placed_samples(crop_grey, corners, picture_size, fine)
    if samples is None:
        return None
    plain = correlation(*samples)
    if plain is None:
        return None
    structure = correlation(without_plane(samples[0]), without_plane(samples[1]), min_deviation=0.0)
    return plain, 0.0 if structure is None else structure


def placed_samples(
    crop_grey: np.ndarray, corners: Sequence[Sequence[float]], picture_size: tuple[int, int], fine: np.ndarray
) -> tuple[np.ndarray, np.ndarray] | None:
    """The crop and the thumbnail under its outline, sampled on one grid of at most
    MAX_SAMPLED_SIDE on the longer side; None when the outline is too small on the thumbnail."""
    outline = np.asarray(corners, np.float64).reshape(4, 2)
    outline = outline * (fine.shape[1] / picture_size[0], fine.shape[0] / picture_size[1])
    across, down = outline[1] - outline[0], outline[3] - outline[0]
    width, height = float(np.hypot(*across)), float(np.hypot(*down))
    if min(width, height) < MIN_SAMPLED_SIDE:
        return None
    shrink = min(1.0, MAX_SAMPLED_SIDE / max(width, height))
    columns, rows = max(1, round(width * shrink)), max(1, round(height * shrink))
    crop = cv2.resize(crop_grey, (columns, rows), interpolation=cv2.INTER_AREA).astype(np.float32)
    return crop, sampled_window(fine.astype(np.float32), outline, columns, rows)


def without_plane(values: np.ndarray) -> np.ndarray:
    """The 2-d array less its least-squares plane a + b x + c y."""
    rows, columns = values.shape
    y, x = np.mgrid[0:rows, 0:columns].astype(np.float64)
    design = np.column_stack([np.ones(values.size), x.ravel(), y.ravel()])
    flat = values.astype(np.float64).ravel()
    coefficients, *_ = np.linalg.lstsq(design, flat, rcond=None)
    rest: np.ndarray = (flat - design @ coefficients).reshape(values.shape)
    return rest


def sampled_window(image: np.ndarray, outline: np.ndarray, columns: int, rows: int) -> np.ndarray:
    """The image under the outline (four corners, from top-left, clockwise, in the image's
    pixels; a parallelogram), sampled on a grid of `columns` x `rows` in the outline's own
    frame, bilinearly."""
    across, down = outline[1] - outline[0], outline[3] - outline[0]
    # Sample (u, v) of the result, centred at (u + 0.5, v + 0.5), lies at
    # outline[0] + (u + 0.5) * across / columns + (v + 0.5) * down / rows on the image,
    # whose pixel centres are at whole numbers + 0.5.
    step_u, step_v = across / columns, down / rows
    origin = outline[0] + 0.5 * step_u + 0.5 * step_v - 0.5
    to_image = np.array([[step_u[0], step_v[0], origin[0]], [step_u[1], step_v[1], origin[1]]])
    return cv2.warpAffine(
        image,
        to_image,
        (columns, rows),
        flags=cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP,
        borderMode=cv2.BORDER_REPLICATE,
    )


def correlation(
    first: np.ndarray, second: np.ndarray, min_deviation: float = MIN_SAMPLE_DEVIATION
) -> float | None:
    """Pearson correlation of two arrays of one shape; None when the first is flatter than
    `min_deviation` (or constant)."""
    a = first.astype(np.float64).ravel()
    b = second.astype(np.float64).ravel()
    a -= a.mean()
    b -= b.mean()
    spread_a, spread_b = float(np.sqrt((a * a).mean())), float(np.sqrt((b * b).mean()))
    if spread_a < min_deviation or spread_a == 0.0:
        return None
    if spread_b == 0.0:
        return 0.0  # the crop has structure and the picture there has none
    return float((a * b).mean() / (spread_a * spread_b))
