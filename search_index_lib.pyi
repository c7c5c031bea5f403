"""Type information for the search_index_lib extension module."""

import json as json
import logging as logging
import multiprocessing as multiprocessing
import os as os
import re as re
from collections.abc import Generator, Sequence
from dataclasses import dataclass as dataclass
from hashlib import md5 as md5
from multiprocessing import Pool as Pool
from typing import Any, Union

import numpy as np
import numpy.typing as npt
from PIL import Image as Image
from PIL import UnidentifiedImageError as UnidentifiedImageError

# Settings taken from the host's `constants` module at import.
CACHE_METADATA: str
CACHED_INDEXED: str
DIMENSION: int
FILE_EXTENSION_REGEX: str
SEARCH_RESULT_LIMIT: int
VECTOR_TENSOR_SIZE: int
FLOATTYPE: Any

__test__: dict[str, Any]

@dataclass
class ImageData:
    """One file of a folder tree: its path and modification time (None for a query)."""

    image_path: str
    last_modified: float | None

@dataclass
class MatchedResult:
    """Where a crop's keypoints were found in one image: (x, y) pixel positions, best first."""

    image_path: str
    matched_points: list[tuple[int, int]]

_ImageVector = npt.NDArray[np.uint8]
_Path = Union[str, "os.PathLike[str]"]

def padding_square_image(img: Image.Image) -> Image.Image: ...
def load_image(file: ImageData) -> _ImageVector | None: ...
def load_images(all_images_metadata: list[ImageData]) -> list[_ImageVector | None]: ...
def absolute_path_recursive_a_directory(folder: _Path) -> Generator[ImageData]: ...
def get_images_absolute_path_recursive_a_directory(folder: _Path) -> list[ImageData]: ...
def compute_md5_of_files(file_metadata: list[ImageData]) -> str: ...
def is_images_in_dir_changed(all_images_metadata: list[ImageData]) -> bool: ...

# `db` is a faiss index object (faiss.IndexFlatL2); faiss ships no type information.
def search_images(
    db: Any, query_image: npt.NDArray[Any], k: int
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int64]]: ...
def index_a_directory(folder: _Path) -> tuple[Any, list[ImageData]]: ...
def search_image(image_path: str, in_folder_path: str) -> list[str]: ...
def live_search_find_matched(
    image_path: str, cropped_image: npt.NDArray[np.uint8]
) -> MatchedResult | None: ...
def live_search_process_image(payload: tuple[str, str]) -> MatchedResult | None: ...
def live_search_similar_cropped(
    crop_path: str, list_image_data: Sequence[ImageData], max_return: int = 25
) -> tuple[list[int], list[MatchedResult], list[ImageData]]: ...
def cropped_search(image_path: str, in_folder_path: str) -> list[str]: ...
