import cv2
import pytest
from crop_search_support import save_textured


@pytest.fixture
def photo(tmp_path):
    """A 640x480 textured greyscale picture and its pixels as OpenCV reads them."""
    path = save_textured(tmp_path / "photo.png", 640, 480, seed=3)
    return path, cv2.imread(path, 0)
