"""Entries of pictures that left a folder go when the folder is indexed or searched again,
and a changed picture keeps one entry, so a store follows its folders instead of growing."""

import os
import shutil

import pytest
from store_support import awkward_folder, crops, rows


def stored_paths(sil, table):
    return sorted(os.fsdecode(row[0]) for row in rows(sil, table))


def search_index(sil, folder, crop):
    sil.index_a_directory(str(folder))


def search_cropped(sil, folder, crop):
    sil.cropped_search(crop, str(folder))


@pytest.mark.parametrize("search, table", [(search_index, "vectors"), (search_cropped, "keypoints")])
def test_entries_follow_the_folder(sil, tmp_path, search, table):
    folder = awkward_folder(tmp_path / "pictures")
    other = awkward_folder(tmp_path / "pictures_other")  # a name that shares the prefix
    crop = crops(tmp_path / "crops", folder)[0]
    search(sil, folder, crop)
    search(sil, other, crop)
    listed = sorted(r.image_path for r in sil.get_images_absolute_path_recursive_a_directory(str(folder)))
    listed_other = sorted(
        r.image_path for r in sil.get_images_absolute_path_recursive_a_directory(str(other))
    )
    assert stored_paths(sil, table) == sorted(listed + listed_other)

    os.remove(folder / "photo1.jpg")
    shutil.rmtree(folder / "sub")
    shutil.copy(folder / "photo2.jpg", folder / "photo0.jpg")  # changed content and size
    search(sil, folder, crop)

    now = sorted(r.image_path for r in sil.get_images_absolute_path_recursive_a_directory(str(folder)))
    assert stored_paths(sil, table) == sorted(now + listed_other)
    sizes = {os.fsdecode(row[0]): row[2] for row in rows(sil, table)}
    assert sizes[str(folder / "photo0.jpg")] == os.path.getsize(folder / "photo0.jpg")
