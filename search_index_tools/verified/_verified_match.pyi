"""Type information for the verified search's native part (built from native/module.cpp)."""

from typing import Any

import numpy as np
import numpy.typing as npt

_Points = npt.NDArray[np.float32]  # (n, 2)
_Descriptors = npt.NDArray[np.uint8]  # (n, 32)
_Grey = npt.NDArray[np.uint8]  # (height, width)
_Corners = tuple[tuple[float, float], ...]  # the crop's four corners, in the picture's pixels

def verify_picture(
    crop_points: _Points,
    crop_descriptors: _Descriptors,
    crop_size: tuple[int, int],
    picture_points: _Points,
    picture_descriptors: _Descriptors,
    picture_size: tuple[int, int],
    picture_scale: tuple[float, float],
    *,
    ratio: float,
    min_inliers: int,
    reprojection_threshold: float,
    max_iterations: int,
    confidence: float,
    min_side: float,
    margin_share: float,
    neighbours: tuple[npt.NDArray[Any], npt.NDArray[Any]] | None = None,
) -> tuple[int, _Corners] | None: ...
def scan_thumbnail(
    image: _Grey, templates: list[_Grey], *, structure_weight: float
) -> tuple[float, int, int, int, int] | None: ...
def refine_placement(
    image: _Grey,
    crop: _Grey,
    predicted: tuple[float, float, float, float],
    *,
    spread: float,
    step: float,
    margin: int,
    structure_weight: float,
    min_side: int,
) -> tuple[int, int, int, int, _Grey] | None: ...
def grey_agreement(crop: _Grey, window: _Grey) -> tuple[float, float, float, float]: ...
