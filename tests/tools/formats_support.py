"""A phone's camera roll for the format tests: HEIC and AVIF pictures written by the libraries'
own encoders (pillow-heif, Pillow), one of each turned by an EXIF orientation, with JPEG twins
and crops of what they show."""

import shutil
from dataclasses import dataclass, replace
from pathlib import Path

import numpy as np
from PIL import Image
from verified_support import textured_photo

WIDTH, HEIGHT = 640, 480  # as shown
CROP_BOX = (200, 120, 440, 300)  # left, top, right, bottom, in the shown picture
TURNED = 6  # EXIF orientation: the stored picture is turned a quarter, shown turned back
SETTINGS_PATTERN = r"\.(jpe?g|png|bmp|gif|tiff?|webp|hei[cf]|hif|avif)$"


@dataclass
class RollPicture:
    path: Path  # in the camera roll
    shown: np.ndarray  # RGB pixels as a viewer shows the picture
    twin: Path  # JPEG of the same picture, outside the roll
    crop: Path  # PNG of CROP_BOX of the shown picture, outside the roll


def exif_turned(orientation):
    exif = Image.Exif()
    exif[0x0112] = orientation
    return exif.tobytes()


def stored_for(shown, orientation):
    """The pixels a camera stores for a picture shown as `shown` under `orientation` 1 or 6."""
    return shown if orientation == 1 else np.ascontiguousarray(np.rot90(shown, 1))


def write_roll(folder, outside):
    """Writes the camera roll into `folder` and the twins and crops into `outside`; returns
    {name: RollPicture} and the paths of the other pictures."""
    import pillow_heif

    pillow_heif.register_heif_opener()
    folder, outside = Path(folder), Path(outside)
    folder.mkdir(parents=True, exist_ok=True)
    outside.mkdir(parents=True, exist_ok=True)
    roll = {}
    for name, suffix, orientation, seed in (
        ("upright_heic", "heic", 1, 31),
        ("turned_heic", "heic", TURNED, 32),
        ("upright_avif", "avif", 1, 33),
        ("turned_avif", "avif", TURNED, 34),
    ):
        shown = textured_photo(WIDTH, HEIGHT, seed)
        stored = Image.fromarray(stored_for(shown, orientation))
        extra = {} if orientation == 1 else {"exif": exif_turned(orientation)}
        path = folder / "camera" / f"{name}.{suffix}"
        path.parent.mkdir(exist_ok=True)
        stored.save(path, quality=92, **extra)
        twin = outside / f"{name}_twin.jpg"
        twin_picture(shown, stored, orientation, suffix).save(
            twin, quality=90, **extra_for_twin(orientation, suffix)
        )
        crop = outside / f"{name}_crop.png"
        Image.fromarray(shown).crop(CROP_BOX).save(crop)
        roll[name] = RollPicture(path, shown, twin, crop)
    others = []
    for seed in range(4):
        path = folder / "other" / f"photo_{seed}.{'jpg' if seed % 2 else 'png'}"
        path.parent.mkdir(exist_ok=True)
        Image.fromarray(textured_photo(WIDTH, HEIGHT, 40 + seed)).save(path)
        others.append(path)
    return roll, others


def copy_roll(written, folder, outside):
    """The roll that write_roll wrote into `written` (its folder and outside folder) copied
    into `folder` and `outside`: encoding the HEIC and AVIF pictures takes seconds, copying
    them milliseconds, and each test still has files of its own. Returns what write_roll does."""
    (source, source_outside), (roll, others) = written
    shutil.copytree(source, folder)
    shutil.copytree(source_outside, outside)

    def moved(path, old, new):
        return Path(new) / Path(path).relative_to(old)

    copied = {
        name: replace(
            picture,
            path=moved(picture.path, source, folder),
            twin=moved(picture.twin, source_outside, outside),
            crop=moved(picture.crop, source_outside, outside),
        )
        for name, picture in roll.items()
    }
    return copied, [moved(path, source, folder) for path in others]


def twin_picture(shown, stored, orientation, suffix):
    """The JPEG twin holds what the other file's decoder delivers: HEIF's decoder turns the
    picture upright itself, AVIF's (like JPEG's) gives the stored pixels and the orientation."""
    if suffix == "heic" or orientation == 1:
        return Image.fromarray(shown)
    return stored


def extra_for_twin(orientation, suffix):
    if suffix == "heic" or orientation == 1:
        return {}
    return {"exif": exif_turned(orientation)}


def settings_with_formats(settings_folder):
    """Rewrites a settings folder's pattern so it selects HEIC/HEIF and AVIF, as the
    command's default settings do."""
    constants = Path(settings_folder) / "constants.py"
    text = constants.read_text()
    old = 'FILE_EXTENSION_REGEX = r"\\.(jpe?g|png|bmp|gif|tiff?|webp)$"'
    assert old in text
    constants.write_text(text.replace(old, f"FILE_EXTENSION_REGEX = {SETTINGS_PATTERN!r}"))
    return settings_folder


def block_package(folder, package):
    """A folder that, first on the import path, makes `package` fail to import as if it were
    not installed; returns it."""
    blocked = Path(folder) / package
    blocked.mkdir(parents=True, exist_ok=True)
    (blocked / "__init__.py").write_text(
        f"raise ImportError('{package} is not installed (blocked by a test)')\n"
    )
    return Path(folder)
