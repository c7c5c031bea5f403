import cv2
import pytest
from crop_search_support import fake_process_image, fake_records, save_flat, save_textured, standin_listing


@pytest.fixture(params=["stand-in", "folder walk"])
def listing(request, sil, monkeypatch):
    """The folder listing cropped_search relies on: a stand-in, and the module's own walk."""
    if request.param == "stand-in":
        monkeypatch.setattr(sil, "get_images_absolute_path_recursive_a_directory", standin_listing)
    return request.param


@pytest.fixture
def folder(tmp_path):
    """Textured pictures (the source of the crop among them) and pictures that cannot match."""
    root = tmp_path / "photos"
    pictures = [
        save_textured(root / name, 320, 240, seed)
        for seed, name in enumerate(["a.png", "b.jpg", "trip/c.png", "trip/d.png", "trip/deep/e.bmp"])
    ]
    save_flat(root / "wall.png")
    save_textured(root / "thumb.png", 120, 90, seed=9)
    (root / "broken.png").write_text("not a picture")
    (root / "notes.txt").write_text("crop.png")
    crop = str(tmp_path / "crop.png")
    cv2.imwrite(crop, cv2.imread(pictures[2], 0)[30:210, 40:290])
    return str(root), crop, pictures


def test_source_picture_ranks_first_and_unmatchable_files_are_left_out(sil, listing, folder):
    root, crop, pictures = folder
    found = sil.cropped_search(crop, root)
    assert found[0] == pictures[2]
    assert sorted(found) == sorted(pictures)


@pytest.mark.slow
@pytest.mark.parametrize("case", ["empty folder", "crop larger than every picture", "featureless crop"])
def test_nothing_found_gives_an_empty_list(sil, listing, folder, tmp_path, case):
    root, crop, _ = folder
    if case == "empty folder":
        (tmp_path / "empty").mkdir()
        root = str(tmp_path / "empty")
    elif case == "crop larger than every picture":
        crop = save_textured(tmp_path / "big.png", 330, 200, seed=1)
    else:
        crop = save_flat(tmp_path / "sky.png", 100, 80)
    assert sil.cropped_search(crop, root) == []


def test_missing_crop_names_the_file(sil, listing, folder, tmp_path):
    root, _, _ = folder
    with pytest.raises(FileNotFoundError, match="gone.png"):
        sil.cropped_search(str(tmp_path / "gone.png"), root)


@pytest.mark.parametrize(
    "counts, expected",
    [
        ([5, None, 9, 5], [2, 0, 3]),
        ([1] * 15 + [2] * 25, list(range(15, 40))),
        ([4] * 40, list(range(25))),
    ],
)
def test_ranked_positions_map_to_the_filtered_listing(sil, monkeypatch, folder, counts, expected):
    _, crop, _ = folder
    records = fake_records(counts)
    monkeypatch.setattr(sil, "get_images_absolute_path_recursive_a_directory", lambda folder: iter(records))
    monkeypatch.setattr(sil, "live_search_process_image", fake_process_image)
    assert sil.cropped_search(crop, "anywhere") == [records[i].image_path for i in expected]
