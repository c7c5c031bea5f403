"""The verified search's candidate index as its word file keeps it: a loaded index (main part
read from the file word by word, pictures added since in memory) votes as the index it was
saved from, whatever happened to it in between; two processes adding to one file keep each
other's pictures; a file that fails half-way does not fail the search."""

import sqlite3
from typing import NamedTuple

import cv2
import numpy as np
import pytest
from verified_support import textured_photo, write

from search_index_tools.verified import candidates
from search_index_tools.verified import search as verified_search

PICTURES = 12


@pytest.fixture(scope="module")
def library():
    """(descriptors, keypoint places) of twelve pictures (real ORB features of textured
    pictures), and a vocabulary drawn from them."""
    orb = cv2.ORB_create(nfeatures=600)  # type: ignore[attr-defined]
    sets = []
    for seed in range(PICTURES):
        grey = cv2.cvtColor(textured_photo(320, 240, seed), cv2.COLOR_BGR2GRAY)
        keypoints, descriptors = orb.detectAndCompute(grey, None)
        sets.append((descriptors, np.array([point.pt for point in keypoints], np.float32)))
    small_vocabulary = candidates.Vocabulary.train(np.concatenate([descriptors for descriptors, _ in sets]))
    return sets, small_vocabulary


def terms_of(library, number):
    sets, vocabulary = library
    return candidates.placed_picture_terms(vocabulary, *sets[number])


def add(index, path, key, terms, merge=True):
    words, marks, places = terms
    index.add(path, key, (10, 10), words, marks, merge=merge, places=places)


def crop_of(library, *numbers):
    """A crop's (descriptors, points): parts of the given pictures' features, side by side."""
    sets, _ = library
    descriptors = np.concatenate([sets[number][0][::3] for number in numbers])
    points = np.concatenate(
        [sets[number][1][::3] + [400.0 * side, 0.0] for side, number in enumerate(numbers)]
    )
    return descriptors, points.astype(np.float32)


def candidates_of(index, crop, among, count):
    descriptors, points = crop
    return index.candidates(Crop(descriptors, points), among, count)


class Crop(NamedTuple):
    descriptors: np.ndarray
    points: np.ndarray


def fresh_load(file_path):
    candidates._LOADED.clear()  # as another process finds the file
    store = candidates.WordStore(str(file_path))
    return store, store.load()


@pytest.fixture(autouse=True)
def stored_main_parts(monkeypatch):
    """Even a few pictures' main part is written a row per word, as a large library's is."""
    monkeypatch.setattr(candidates, "STORED_MAIN_MIN", 0)


def build(library, file_path, numbers, merge):
    """An index of the given pictures saved to `file_path`, merged into its main part or not."""
    store = candidates.WordStore(str(file_path))
    index = candidates.CandidateIndex(store.save_vocabulary(library[1]))
    for number in numbers:
        add(index, f"p{number}", f"key{number}", terms_of(library, number), merge=False)
    if merge:
        index._merge()
    store.save(index, [f"p{number}" for number in numbers], [])
    store.close()


@pytest.mark.parametrize(
    "change",
    ["none", "added since the merge", "merged picture removed", "merged picture changed", "merged again"],
)
@pytest.mark.parametrize("main_written", [True, False], ids=["main part written", "main part put together"])
def test_loaded_index_votes_as_the_index_it_was_saved_from(
    tmp_path, library, change, main_written, monkeypatch
):
    if not main_written:  # as a small library's: loading puts it together from the terms
        monkeypatch.setattr(candidates, "STORED_MAIN_MIN", 10**9)
    file_path = tmp_path / "words.sqlite"
    build(library, file_path, range(8), merge=True)
    reference = candidates.CandidateIndex(library[1])
    for number in range(8):
        add(reference, f"p{number}", f"key{number}", terms_of(library, number), merge=False)

    store, index = fresh_load(file_path)
    assert index.stored == main_written
    added, removed = [], []
    if change in ("added since the merge", "merged again"):
        for number in (8, 9):
            for built in (index, reference):
                add(built, f"p{number}", f"key{number}", terms_of(library, number), merge=False)
            added.append(f"p{number}")
    if change == "merged picture removed":
        for built in (index, reference):
            built.remove("p2")
        removed.append("p2")
    if change == "merged picture changed":  # same path, another picture's content
        for built in (index, reference):
            add(built, "p2", "key2b", terms_of(library, 10), merge=False)
        added.append("p2")
    if change == "merged again":
        index._merge()
    store.save(index, added, removed)

    other_store, loaded = fresh_load(file_path)
    for read_back in (index, loaded):
        assert set(read_back.paths()) == set(reference.paths())
        assert np.array_equal(read_back.document_counts, reference.document_counts)
        for crop in (crop_of(library, 3), crop_of(library, 2, 9), crop_of(library, 10)):
            votes = {path: read_back.scores(*crop)[read_back.numbers[path]] for path in reference.paths()}
            expected = {path: reference.scores(*crop)[reference.numbers[path]] for path in reference.paths()}
            assert votes == expected
    assert candidates_of(index, crop_of(library, 3), index.paths(), 1) == ["p3"]
    store.close()
    other_store.close()


def test_loading_reads_the_merged_part_not_every_pictures_terms(tmp_path, library):
    file_path = tmp_path / "words.sqlite"
    build(library, file_path, range(8), merge=True)
    expected = candidates_of(fresh_load(file_path)[1], crop_of(library, 5), [f"p{n}" for n in range(8)], 3)
    # The merged pictures' own terms are needed again only by the next merge or a removal.
    with sqlite3.connect(file_path) as db:
        db.execute("UPDATE terms SET words = x'01', signatures = x'01', places = x'01'")
    store, index = fresh_load(file_path)
    assert candidates_of(index, crop_of(library, 5), [f"p{n}" for n in range(8)], 3) == expected
    assert expected[0] == "p5"
    store.close()


def loaded_by_two(tmp_path, library):
    """A word file of six merged pictures, and two (store, index) loads of it, as two processes
    each hold theirs."""
    file_path = tmp_path / "words.sqlite"
    build(library, file_path, range(6), merge=True)
    return file_path, fresh_load(file_path), fresh_load(file_path)


def test_two_processes_adding_to_one_file_keep_each_others_pictures(tmp_path, library):
    file_path, (first, first_index), (second, second_index) = loaded_by_two(tmp_path, library)
    # Both give their new picture the same next number; the later save must renumber its own.
    add(first_index, "p6", "key6", terms_of(library, 6))
    add(second_index, "p7", "key7", terms_of(library, 7))
    first.save(first_index, ["p6"], [])
    second.save(second_index, ["p7"], [])
    first.close()
    second.close()

    store, index = fresh_load(file_path)
    assert sorted(index.paths()) == [f"p{n}" for n in range(8)]
    for number in (6, 7):
        assert candidates_of(index, crop_of(library, number), index.paths(), 1) == [f"p{number}"]
    store.close()


def test_a_merge_does_not_drop_pictures_another_process_added(tmp_path, library):
    file_path, (first, first_index), (second, second_index) = loaded_by_two(tmp_path, library)
    add(second_index, "p7", "key7", terms_of(library, 7))
    second.save(second_index, ["p7"], [])
    add(first_index, "p6", "key6", terms_of(library, 6), merge=False)
    first_index._merge()  # knows nothing of p7
    first.save(first_index, ["p6"], [])
    first.close()
    second.close()

    store, index = fresh_load(file_path)
    for number in (6, 7):
        assert candidates_of(index, crop_of(library, number), index.paths(), 1) == [f"p{number}"]
    store.close()


@pytest.mark.parametrize("damage", ["a cut-short entry", "a table gone"])
def test_a_word_file_that_fails_half_way_gives_way_to_an_index_in_memory(tmp_path, damage, monkeypatch):
    monkeypatch.setattr(verified_search, "CANDIDATES", 2)
    monkeypatch.setattr(verified_search, "FALLBACK_CANDIDATES", 3)
    monkeypatch.setattr(candidates, "MERGE_MIN", 0)  # even five pictures are merged and stored
    folder = tmp_path / "pictures"
    paths = [write(folder / f"picture_{seed}.jpg", textured_photo(480, 360, seed)) for seed in range(5)]
    crop = write(tmp_path / "crop.png", cv2.imread(paths[3])[60:220, 100:300])
    assert verified_cropped_search_paths(crop, folder) == [paths[3]]
    words_file = verified_search_words_file()
    # The index is loaded (vocabulary and pictures) and then its main part fails when read.
    store, index = fresh_load(words_file)
    assert index is not None and index.stored
    store.close()
    with sqlite3.connect(words_file) as db:
        if damage == "a cut-short entry":
            db.execute("UPDATE postings SET pictures = x'010203'")
        else:
            db.execute("DROP TABLE postings")
    assert verified_cropped_search_paths(crop, folder) == [paths[3]]


def verified_cropped_search_paths(crop, folder):
    return verified_search.verified_cropped_search(crop, str(folder))


def verified_search_words_file():
    import search_index_lib

    return search_index_lib.CACHED_INDEXED + verified_search.WORDS_SUFFIX


@pytest.mark.parametrize("seed", [1, 2])
def test_postings_placed_per_picture_match_a_sort_of_all_entries(seed):
    rng = np.random.default_rng(seed)
    pictures = []
    for number in rng.permutation(40)[:25]:
        words = rng.integers(0, 300, int(rng.integers(0, 200)))
        if seed == 2:  # words as picture_terms gives them: sorted, repeated with other signatures
            words = np.sort(words)
        marks, places = rng.integers(0, 2**32, (2, len(words)), dtype=np.uint32)
        pictures.append((int(number), words.astype(np.uint32), marks, places))
    placed = candidates._Postings.of_pictures(300, pictures)
    sorted_all = candidates._Postings(
        300,
        *(np.concatenate([picture[part] for picture in pictures]) for part in (1,)),
        np.concatenate([np.full(len(words), number, np.uint32) for number, words, _, _ in pictures]),
        *(np.concatenate([picture[part] for picture in pictures]) for part in (2, 3)),
    )
    for part in ("offsets", "pictures", "marks", "places"):
        assert np.array_equal(getattr(placed, part), getattr(sorted_all, part))


@pytest.mark.parametrize("pictures", [3, 40])
def test_terms_of_many_pictures_are_each_pictures_own_in_order(library, pictures, monkeypatch):
    # Forty pictures are shared among threads (on any machine: two processors are assumed).
    monkeypatch.setattr(candidates, "available_processors", lambda: 2)
    sets, vocabulary = library
    features = [
        (sets[number % PICTURES][0][number % 5 :], sets[number % PICTURES][1][number % 5 :])
        for number in range(pictures)
    ]
    found = candidates.many_picture_terms(vocabulary, features)
    assert len(found) == pictures
    for picture, terms in zip(features, found):
        expected = candidates.placed_picture_terms(vocabulary, *picture)
        assert all(np.array_equal(part, expected_part) for part, expected_part in zip(terms, expected))


def test_every_leaf_lies_in_its_own_top_descriptors_cell():
    rng = np.random.default_rng(4)
    sample = rng.integers(0, 256, (30000, 32), dtype=np.uint8)
    vocabulary = candidates.Vocabulary.train(sample)
    for cell in range(0, vocabulary.top.shape[0], 7):
        distances = candidates._hamming(vocabulary.top[None, :, :], vocabulary.leaves[cell][:, None, :])
        assert np.array_equal(distances[:, cell], distances.min(axis=1))
