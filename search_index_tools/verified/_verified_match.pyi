# Types of the native part of the verified search (built from native/module.cpp).

import numpy as np
from numpy.typing import NDArray

Grey = NDArray[np.uint8]
Corners = tuple[tuple[float, float], tuple[float, float], tuple[float, float], tuple[float, float]]

def verify_picture(
    crop_points: NDArray[np.float32],
    crop_descriptors: Grey,
    crop_size: tuple[int, int],
    picture_points: NDArray[np.float32],
    picture_descriptors: Grey,
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
    neighbours: tuple[NDArray[np.int32], NDArray[np.int64]] | None = None,
) -> tuple[int, Corners] | None: ...
def scan_thumbnail(
    image: Grey, templates: list[Grey], *, structure_weight: float
) -> tuple[float, int, int, int, int] | None: ...
def refine_placement(
    image: Grey,
    crop: Grey,
    predicted: tuple[int, int, int, int],
    *,
    spread: float,
    step: float,
    margin: int,
    structure_weight: float,
    min_side: int,
) -> tuple[int, int, int, int, Grey] | None: ...
def grey_agreement(crop: Grey, window: Grey) -> tuple[float, float, float, float]: ...
def check_listing(
    listing: list[str],
    numbers: dict[str, int],
    keys: list[tuple[str, tuple[int, int] | None]],
    key_prefix: str,
) -> tuple[list[tuple[str, tuple[int, int, int, int, int]]], list[str]]: ...
def spread_positions(
    points: NDArray[np.float32], responses: NDArray[np.float64], *, columns: int, cell: int, count: int
) -> NDArray[np.int64]: ...
def consistent_votes(
    pictures: NDArray[np.int64],
    weights: NDArray[np.float64],
    crop_points: NDArray[np.float32],
    picture_points: NDArray[np.float32],
    *,
    tolerance: float,
    min_scale: float,
    max_scale: float,
    min_spread: float,
    max_hypotheses: int,
    best_of: int = 0,
) -> tuple[NDArray[np.int64], NDArray[np.float64]]: ...

class WordTree:
    def __init__(self, top: Grey, leaves: Grey, *, road: str = "") -> None: ...
    def words(self, descriptors: Grey, *, road: str = "") -> NDArray[np.int64]: ...
    def leaf_lists(self) -> NDArray[np.int64]: ...

def nearest_codes(codes: Grey, queries: Grey, *, road: str = "") -> NDArray[np.int64]: ...
def nearest_code_roads() -> list[str]: ...
def best_window_scores(
    vectors: NDArray[np.int8], queries: NDArray[np.int16], rows: NDArray[np.int64], *, road: str = ""
) -> NDArray[np.int64]: ...
