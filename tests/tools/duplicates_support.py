"""Pictures for the duplicate finder's tests: a photo-like original, the edits a copy may have
gone through, and pictures that must never be grouped."""

import io
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw, ImageEnhance, ImageOps
from testsupport import photo_array, save_photo

ORIENTATION = 0x0112


def original(seed=3, width=360, height=270):
    return Image.fromarray(photo_array(width, height, seed))


def _crop(picture, left=0.0, top=0.0, right=0.0, bottom=0.0):
    w, h = picture.size
    return picture.crop((int(w * left), int(h * top), w - int(w * right), h - int(h * bottom)))


def _caption(picture):
    picture = picture.convert("RGB")
    draw = ImageDraw.Draw(picture)
    w, h = picture.size
    draw.rectangle((int(w * 0.62), int(h * 0.86), w - 4, h - 4), fill=(0, 0, 0))
    draw.text((int(w * 0.64), int(h * 0.88)), "Holiday 2019", fill=(255, 255, 255))
    return picture


def _watermark(picture):
    picture = picture.convert("RGBA")
    layer = Image.new("RGBA", picture.size, (0, 0, 0, 0))
    draw = ImageDraw.Draw(layer)
    w, h = picture.size
    draw.ellipse((int(w * 0.03), int(h * 0.03), int(w * 0.2), int(h * 0.2)), fill=(255, 255, 255, 150))
    draw.text((int(w * 0.05), int(h * 0.08)), "(c) studio", fill=(0, 0, 0, 220))
    return Image.alpha_composite(picture, layer).convert("RGB")


def _exif_turned(picture, orientation):
    """The same pixels, with an orientation tag that has viewers turn them."""
    exif = Image.Exif()
    exif[ORIENTATION] = orientation
    data = io.BytesIO()
    picture.save(data, "JPEG", quality=92, exif=exif)
    return data.getvalue()


# name: (file suffix, the edit: picture -> picture or file bytes, the transform it shows as)
EDITS = {
    "resized_to_a_third": (".png", lambda p: p.resize((p.width // 3, p.height // 3), Image.LANCZOS), "none"),
    "jpeg_quality_25": (".jpg", lambda p: _encoded(p, "JPEG", quality=25), "none"),
    "converted_to_webp": (".webp", lambda p: p, "none"),
    "cropped_left_tenth": (".png", lambda p: _crop(p, left=0.1), "none"),
    "cropped_top_and_right": (".png", lambda p: _crop(p, top=0.08, right=0.08), "none"),
    "brighter": (".png", lambda p: ImageEnhance.Brightness(p).enhance(1.4), "none"),
    "darker": (".png", lambda p: ImageEnhance.Brightness(p).enhance(0.55), "none"),
    "more_contrast": (".png", lambda p: ImageEnhance.Contrast(p).enhance(1.6), "none"),
    "grey": (".png", lambda p: p.convert("L"), "none"),
    "captioned": (".png", _caption, "none"),
    "watermarked": (".png", _watermark, "none"),
    "mirrored": (".png", ImageOps.mirror, "mirrored"),
    "turned_90": (".png", lambda p: p.transpose(Image.Transpose.ROTATE_270), "turned 90"),
    "turned_180": (".png", lambda p: p.transpose(Image.Transpose.ROTATE_180), "turned 180"),
    "turned_270": (".png", lambda p: p.transpose(Image.Transpose.ROTATE_90), "turned 270"),
    "exif_turned_90": (".jpg", lambda p: _exif_turned(p, 6), "turned 90"),
    "exif_turned_180": (".jpg", lambda p: _exif_turned(p, 3), "turned 180"),
    "mirrored_cropped_small_jpeg": (
        ".jpg",
        lambda p: _encoded(
            ImageOps.mirror(_crop(p, left=0.08)).resize((p.width // 2, p.height // 2)), "JPEG", quality=35
        ),
        "mirrored",
    ),
    "grey_captioned_turned": (
        ".jpg",
        lambda p: _encoded(
            _caption(ImageEnhance.Contrast(p.convert("L")).enhance(1.3)).transpose(Image.Transpose.ROTATE_90),
            "JPEG",
            quality=40,
        ),
        "turned 270",
    ),
}


def texture(seed, width=360, height=270, grain=5):
    """A finely detailed picture (gravel, grass): colour noise a few pixels across over a
    gentle shading, so little of it is left at coarse scales."""
    rng = np.random.default_rng(seed)
    small = rng.integers(0, 256, (height // grain, width // grain, 3), dtype=np.uint8)
    detail = np.asarray(Image.fromarray(small).resize((width, height), Image.BICUBIC), dtype=np.float32)
    shading = np.linspace(0.8, 1.1, width, dtype=np.float32)[None, :, None]
    return Image.fromarray(np.clip(detail * shading, 0, 255).astype(np.uint8))


# Crops of a finely detailed picture, alone and with other edits: name: (suffix, edit, transform)
TEXTURE_EDITS = {
    "cropped_left_tenth": (".png", lambda p: _crop(p, left=0.1), "none"),
    "cropped_bottom_tenth": (".png", lambda p: _crop(p, bottom=0.1), "none"),
    "cropped_turned_grey": (
        ".png",
        lambda p: _crop(p, top=0.08, right=0.06).transpose(Image.Transpose.ROTATE_90).convert("L"),
        "turned 270",
    ),
    "cropped_more_contrast_exif_turned": (
        ".jpg",
        lambda p: _exif_turned(ImageEnhance.Contrast(_crop(p, right=0.09)).enhance(1.3), 3),
        "turned 180",
    ),
}


def _encoded(picture, format, **options):
    data = io.BytesIO()
    picture.save(data, format, **options)
    return data.getvalue()


def write_edit(folder, name, picture, edits=EDITS):
    suffix, edit, _ = edits[name]
    path = Path(folder) / f"{name}{suffix}"
    path.parent.mkdir(parents=True, exist_ok=True)
    result = edit(picture)
    if isinstance(result, bytes):
        path.write_bytes(result)
    else:
        result.save(path)
    return path


def distractors(folder, width=360, height=270):
    """Pictures of one size that are each a picture of their own: flat ones of different
    grey levels and colours, dark photographs, mostly white pictures with a small subject,
    and photographs; returns {kind: [paths]}."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    made = {"flat": [], "dark": [], "mostly_white": [], "same_size": []}
    for value in [(255, 255, 255), (250, 250, 250), (0, 0, 0), (12, 12, 12), (200, 30, 30), (30, 30, 200)]:
        path = folder / f"flat_{value[0]}_{value[1]}_{value[2]}.png"
        Image.new("RGB", (width, height), value).save(path)
        made["flat"].append(path)
    for seed in (41, 42, 43):
        dark = (photo_array(width, height, seed).astype(np.float32) * 0.1).astype(np.uint8)
        path = folder / f"dark_{seed}.png"
        Image.fromarray(dark).save(path)
        made["dark"].append(path)
    rng = np.random.default_rng(5)
    for number in range(4):
        page = Image.new("RGB", (width, height), "white")
        draw = ImageDraw.Draw(page)
        x, y = int(rng.integers(10, width - 60)), int(rng.integers(10, height - 60))
        shape = [draw.ellipse, draw.rectangle][number % 2]
        shape(
            (x, y, x + 20 + 8 * number, y + 30 - 4 * number),
            fill=tuple(int(v) for v in rng.integers(0, 160, 3)),
        )
        path = folder / f"mostly_white_{number}.png"
        page.save(path)
        made["mostly_white"].append(path)
    for seed in (51, 52, 53, 54):
        path = folder / f"photo_{seed}.png"
        Image.fromarray(photo_array(width, height, seed)).save(path)
        made["same_size"].append(path)
    return made


def copy_of(source, target, width, height, mirrored=False, **save_options):
    """`source` resized to width x height (and mirrored), saved at `target`."""
    target = Path(target)
    target.parent.mkdir(parents=True, exist_ok=True)
    with Image.open(source) as picture:
        copy = picture.convert("RGB").resize((width, height), Image.LANCZOS)
    (ImageOps.mirror(copy) if mirrored else copy).save(target, **save_options)
    return target


def photos_with_copies(folder, count, first_seed, copy_every, copy_suffix=""):
    """`count` photographs under folder/photos, and a smaller copy of every `copy_every`-th
    under folder/copies (named after it, with `copy_suffix`)."""
    for seed in range(count):
        save_photo(folder / "photos" / f"p{seed:02d}.jpg", 240, 180, seed=first_seed + seed, quality=90)
    for seed in range(0, count, copy_every):
        copy_of(
            folder / "photos" / f"p{seed:02d}.jpg",
            folder / "copies" / f"p{seed:02d}{copy_suffix}.png",
            120,
            90,
        )
