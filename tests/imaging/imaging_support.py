"""Pictures of every colour mode, broken image files and the reference vector pipeline."""

import numpy as np
from PIL import Image
from testsupport import photo_array


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


def _rgba_with_black_holes(width, height, seed):
    picture = np.dstack([photo_array(width, height, seed), np.full((height, width), 255, np.uint8)])
    picture[::3, ::2] = 0  # fully transparent pixels that store black
    return Image.fromarray(picture)


def _sixteen_bit(width, height, seed):
    return Image.fromarray(photo_array(width, height, seed, channels=1).astype(np.uint16) * 257)


def _frames(width, height, seed):
    return [Image.fromarray(photo_array(width, height, seed + i)).convert("P") for i in range(3)]


# name -> (file suffix, picture maker(width, height, seed), save options)
MODES = {
    "L": (".png", lambda w, h, s: Image.fromarray(photo_array(w, h, s, channels=1)), {}),
    "RGB": (".jpg", lambda w, h, s: Image.fromarray(photo_array(w, h, s)), {}),
    "RGBA": (".png", _rgba_with_black_holes, {}),
    "LA": (".png", lambda w, h, s: Image.fromarray(photo_array(w, h, s)).convert("LA"), {}),
    "P": (".png", lambda w, h, s: Image.fromarray(photo_array(w, h, s)).convert("P"), {}),
    "P-gif": (".gif", lambda w, h, s: Image.fromarray(photo_array(w, h, s)).convert("P"), {}),
    "I;16": (".png", _sixteen_bit, {}),
    "CMYK": (".jpg", lambda w, h, s: Image.fromarray(photo_array(w, h, s)).convert("CMYK"), {}),
    "1": (".bmp", lambda w, h, s: Image.fromarray(photo_array(w, h, s)).convert("1"), {}),
}


def write_picture(folder, mode, width, height, seed=0):
    suffix, make, options = MODES[mode]
    path = folder / f"{mode.replace(';', '')}-{width}x{height}-{seed}{suffix}"
    make(width, height, seed).save(path, **options)
    return path


def write_animation(path, width=40, height=30):
    first, *rest = _frames(width, height, 7)
    first.save(path, save_all=True, append_images=rest)
    return path


def write_broken(folder, kind):
    """Files that open as images but whose pixel data cannot be decoded, or no image at all."""
    source = Image.fromarray(photo_array(120, 90, 5))
    path = folder / f"{kind}{'.png' if 'png' in kind else '.jpg'}"
    if kind == "text":
        path.write_text("this is not a picture\n")
    elif kind == "empty":
        path.write_bytes(b"")
    elif kind == "truncated-jpeg":
        source.save(path)
        path.write_bytes(path.read_bytes()[: path.stat().st_size // 2])
    elif kind == "truncated-png":
        source.save(path)
        path.write_bytes(path.read_bytes()[:-400])
    elif kind == "broken-png-stream":
        source.save(path)
        data = bytearray(path.read_bytes())
        start = data.index(b"IDAT") + 40
        data[start : start + 64] = bytes(range(64))
        path.write_bytes(bytes(data))
    return path


def is_closed(image):
    try:
        image.getpixel((0, 0))
    except ValueError as error:
        return "closed image" in str(error)
    return False
