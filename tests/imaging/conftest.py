import pytest


@pytest.fixture
def record(sil):
    """Makes the ImageData record load_image and load_images take."""
    return lambda path: sil.ImageData(image_path=str(path), last_modified=None)


class RecordingImage:
    """Stands in for the module's `Image`: Pillow's module, keeping every image it opens or makes."""

    def __init__(self, image_module):
        self._image_module = image_module
        self.images = []

    def __getattr__(self, name):
        return getattr(self._image_module, name)

    def open(self, *args, **kwargs):
        self.images.append(self._image_module.open(*args, **kwargs))
        return self.images[-1]

    def new(self, *args, **kwargs):
        self.images.append(self._image_module.new(*args, **kwargs))
        return self.images[-1]


@pytest.fixture
def recorded_images(sil, monkeypatch):
    recording = RecordingImage(sil.Image)
    monkeypatch.setattr(sil, "Image", recording)
    return recording.images
