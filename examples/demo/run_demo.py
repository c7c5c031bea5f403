#!/usr/bin/env python3
"""Demo: both searches on real photographs (the sample photos that scikit-image ships).

It lays out a photo folder in examples/demo/work/, makes a similarity query from one photo
(resized and re-encoded as JPEG) and a crop cut from another, runs search_image and
cropped_search, and prints the ranked paths with the query's source marked. Run it twice:
the second run reuses the cached index (the log lines say so).
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
CROP_SOURCE, CROP_BOX = "astronaut.png", (150, 20, 390, 200)      # left, top, right, bottom


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


def show(title, paths, source, shown=5):
    print(f"\n{title}")
    if not paths:
        print("   (nothing found)")
    for rank, path in enumerate(paths[:shown], 1):
        mark = "   <== the query's source" if Path(path) == source else ""
        print(f"  {rank:2}. {Path(path).relative_to(WORK)}{mark}")
    if len(paths) > shown:
        print(f"      ... and {len(paths) - shown} more")
    found_first = bool(paths) and Path(paths[0]) == source
    print("  the source came first" if found_first else "  UNEXPECTED: the source did not come first")
    return found_first


def main():
    sys.path.insert(0, str(DEMO_DIR))  # the demo's own constants.py
    import search_index_lib

    located = lay_out_photos()
    similar_queries, (crop, crop_source) = make_queries(located)
    print(f"Photo folder: {PHOTOS} ({sum(map(len, LAYOUT.values()))} photos and one file that is not an image)")
    ok = True
    for query, source in similar_queries:
        paths = search_index_lib.search_image(str(query), str(PHOTOS))
        ok &= show(f"search_image({query.relative_to(WORK)}): the most similar photos", paths, source)
    paths = search_index_lib.cropped_search(str(crop), str(PHOTOS))
    ok &= show(f"cropped_search({crop.relative_to(WORK)}): photos containing the crop", paths, crop_source)
    print("\nRun the demo again: the log lines then show the cached index being reused.")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
