#!/usr/bin/env python3
"""Demo photographs: the sample photos that scikit-image ships, laid out as a user's folder.

Lays out a photo folder in examples/demo/work/photos/ and makes two queries in
examples/demo/work/queries/: a similarity query from one photo (resized and re-encoded as
JPEG) and a crop cut from another. `make demo` then runs the find-images command on them.
"""

import shutil
import sys
from pathlib import Path

from PIL import Image

DEMO_DIR = Path(__file__).resolve().parent
WORK = DEMO_DIR / "work"
PHOTOS = WORK / "photos"
QUERIES = WORK / "queries"

# Sample photos shipped inside scikit-image, laid out in sub-folders as a user's might be.
LAYOUT = {
    "space": ["astronaut.png", "rocket.jpg", "hubble_deep_field.jpg", "moon.png"],
    "animals": ["chelsea.png", "coffee.png"],
    "things": ["camera.png", "coins.png", "motorcycle_left.png", "clock_motion.png", "page.png"],
    "things/textures": ["brick.png", "grass.png", "gravel.png"],
    "science": ["retina.jpg", "ihc.png", "cell.png", "microaneurysms.png"],
}
SIMILAR_QUERIES = [("coffee.png", 0.6), ("chelsea.png", 0.75)]  # photo, scale of the query
CROP_SOURCE, CROP_BOX = "astronaut.png", (150, 20, 390, 200)  # left, top, right, bottom


def sample_photo(name):
    import skimage.data

    return Path(skimage.data.__file__).resolve().parent / name


def lay_out_photos():
    """Copies the photos once; a second run leaves them (and their times) untouched, so the
    folder's fingerprint stays the same and the cached index is reused."""
    located = {}
    for folder, names in LAYOUT.items():
        for name in names:
            target = PHOTOS / folder / name
            if not target.exists():
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(sample_photo(name), target)
            located[name] = target
    # A file named like an image that is not one: searches leave it out without failing.
    broken = PHOTOS / "things" / "notes.jpg"
    if not broken.exists():
        broken.write_text("shopping list, not a picture\n")
    return located


def make_queries(located):
    QUERIES.mkdir(parents=True, exist_ok=True)
    queries = []
    for name, scale in SIMILAR_QUERIES:
        query = QUERIES / f"{Path(name).stem}_small.jpg"
        with Image.open(located[name]) as photo:
            size = (round(photo.width * scale), round(photo.height * scale))
            photo.convert("RGB").resize(size).save(query, quality=80)
        queries.append((query, located[name]))
    crop = QUERIES / f"{Path(CROP_SOURCE).stem}_crop.png"
    with Image.open(located[CROP_SOURCE]) as photo:
        photo.crop(CROP_BOX).save(crop)
    return queries, (crop, located[CROP_SOURCE])


def main():
    located = lay_out_photos()
    similar_queries, (crop, crop_source) = make_queries(located)
    print(
        f"Photo folder: {PHOTOS} ({sum(map(len, LAYOUT.values()))} photos and one file that is not an image)"
    )
    for query, source in similar_queries:
        print(f"Query {query.relative_to(WORK)} is made from {source.relative_to(WORK)}")
    print(f"Crop {crop.relative_to(WORK)} is cut from {crop_source.relative_to(WORK)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
