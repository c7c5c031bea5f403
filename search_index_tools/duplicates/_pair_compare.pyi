# Types of the native comparison of the duplicate finder (built from native/module.cpp).

import numpy as np
from numpy.typing import NDArray

class ScanMemo:
    def __init__(self, count: int) -> None: ...

class PairComparer:
    def __init__(
        self,
        plane: NDArray[np.float64],
        interpolate_a: NDArray[np.float64],
        interpolate_b: NDArray[np.float64],
        line_basis: NDArray[np.float64],
        cuts: NDArray[np.int64],
        coarse_plane: NDArray[np.float32],
        blurred_cells: NDArray[np.float32],
        settings: dict[str, float],
    ) -> None: ...
    def verdicts(
        self,
        thumbnails: NDArray[np.uint8],
        sizes: NDArray[np.int64],
        firsts: NDArray[np.int64],
        seconds: NDArray[np.int64],
        proposed: NDArray[np.uint8],
        plain: NDArray[np.bool_],
        threshold: float,
        memo: ScanMemo | None = None,
        places: NDArray[np.int64] | None = None,
    ) -> tuple[NDArray[np.bool_], NDArray[np.uint8], NDArray[np.float64], NDArray[np.bool_]]: ...
    def compare(self, a: NDArray[np.uint8], b: NDArray[np.uint8], index: int) -> tuple[float, bool]: ...
    def best_transform(
        self, a: NDArray[np.uint8], b: NDArray[np.uint8], size_a: tuple[int, int], size_b: tuple[int, int]
    ) -> tuple[int, float, bool]: ...
