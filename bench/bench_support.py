"""Pictures for the benchmarks: photo-like pictures (the same pixels, seed for seed, as the test
suite makes), the image vector made step by step with Pillow, for comparison, and Debian's
packages of real photographs unpacked once."""

import subprocess
from pathlib import Path

import numpy as np
from PIL import Image


def photo_array(width, height, seed, channels=3):
    """A photo-like picture: smooth colour fields with sharp-edged shapes and fine texture,
    so that it has corners for keypoint detectors and differs clearly from other seeds."""
    rng = np.random.default_rng(seed)
    coarse = rng.integers(0, 256, size=(max(2, height // 40), max(2, width // 40), channels), dtype=np.uint8)
    base = np.asarray(
        Image.fromarray(coarse.squeeze()).resize((width, height), Image.BILINEAR), dtype=np.int16
    )
    if base.ndim == 2:
        base = base[..., None]
    for _ in range(12):
        x0, y0 = rng.integers(0, width), rng.integers(0, height)
        w, h = rng.integers(width // 20 + 1, width // 4 + 2), rng.integers(height // 20 + 1, height // 4 + 2)
        base[y0 : y0 + h, x0 : x0 + w] = rng.integers(0, 256, size=channels)
    base += rng.integers(-20, 21, size=base.shape, dtype=np.int16)
    picture = np.clip(base, 0, 255).astype(np.uint8)
    return picture[..., 0] if channels == 1 else picture


def save_photo(path, width=320, height=240, seed=0, mode="RGB", **save_options):
    """Writes a photo-like picture to `path` (format from the suffix) and returns the path."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    picture = Image.fromarray(photo_array(width, height, seed, channels=1 if mode == "L" else 3))
    picture.convert(mode).save(path, **save_options)
    return path


def reference_vector(path, side):
    """The image vector computed directly with Pillow, step by step."""
    with Image.open(path) as image:
        if image.mode == "RGBA":
            image = image.convert("RGB")
        width, height = image.size
        if width != height:
            canvas = Image.new("RGB", (max(width, height),) * 2, (255, 255, 255))
            canvas.paste(image, (0, 0))
            image = canvas
        return np.array(image.convert("L").resize((side, side))).flatten()


def unpack_packages(packages, debs, unpacked):
    """Debian packages downloaded into `debs` and unpacked under `unpacked`, once: a "done"
    mark is left when every package is unpacked. Returns `unpacked`."""
    if not (unpacked / "done").exists():
        debs.mkdir(parents=True, exist_ok=True)
        subprocess.run(["apt-get", "download", *packages], cwd=debs, check=True, stdout=subprocess.DEVNULL)
        for deb in sorted(debs.glob("*.deb")):
            subprocess.run(["dpkg-deb", "-x", str(deb), str(unpacked)], check=True)
        (unpacked / "done").touch()
    return unpacked


def verified_quality_readings():
    """(path, what the verified search reads of it) for every picture of bench_verified_quality.py's
    folder, in path order, read in this process; the folder is made first when missing."""
    from bench_verified_quality import DATA

    from search_index_tools.verified.features import picture_features
    from search_index_tools.verified.pixels import THUMBNAIL_SETTINGS
    from search_index_tools.verified.search import PICTURE_SETTINGS

    if not (DATA / "folder.done").exists():
        from bench_verified_first_query import made_folder_and_crops

        made_folder_and_crops()
    paths = sorted(str(path) for path in (DATA / "folder").rglob("*") if path.is_file())
    return [picture_features((path, PICTURE_SETTINGS, THUMBNAIL_SETTINGS)) for path in paths]
