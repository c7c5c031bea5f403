"""The word of every descriptor, found by the package's own nearest-code search, is the word
faiss's inverted-file index gives: the same leaf for every descriptor of real-looking
pictures, equal distances broken alike (the lowest number), on every road the processor
offers; and a vocabulary learnt with it is the one learnt with faiss."""

import cv2
import numpy as np
import pytest
from verified_support import textured_photo

from search_index_tools.verified import _verified_match, candidates
from search_index_tools.verified import search as verified_search
from search_index_tools.verified.features import features_from_grey

ROADS = ["avx512", "portable"]


@pytest.fixture(scope="module")
def descriptor_sets():
    """The picture features of six textured photographs, as a first search reads them."""
    sets = []
    for seed in range(6):
        grey = cv2.cvtColor(textured_photo(720, 540, 100 + seed), cv2.COLOR_BGR2GRAY)
        found = features_from_grey(grey, 720, 540, verified_search.PICTURE_SETTINGS)
        sets.append(found.descriptors)
    return sets


@pytest.fixture(scope="module")
def vocabulary(descriptor_sets):
    """A full-sized vocabulary (TOP_WORDS top words) learnt from four of the pictures."""
    learnt = candidates.Vocabulary.train(candidates.training_sample(descriptor_sets[:4]))
    assert learnt.top.shape[0] == candidates.TOP_WORDS
    return learnt


def tree(vocabulary, road):
    top, leaves = vocabulary.top, vocabulary.leaves.reshape(-1, vocabulary.top.shape[1])
    return _verified_match.WordTree(top, leaves, road=road)


def road_or_refused(road):
    """True when this processor takes `road`; else checks that asking for it is refused."""
    if road in _verified_match.nearest_code_roads():
        return True
    with pytest.raises(ValueError, match="road"):
        _verified_match.nearest_codes(np.zeros((1, 32), np.uint8), np.zeros((1, 32), np.uint8), road=road)
    return False


def few_valued_codes(rng, count, width=32):
    """Codes whose bits are set in the first byte only, from four values: nearly every
    distance has many equals."""
    codes = np.zeros((count, width), np.uint8)
    codes[:, 0] = rng.choice(np.array([0b0000, 0b0011, 0b0101, 0b1111], np.uint8), count)
    return codes


@pytest.mark.parametrize("road", ROADS)
def test_words_of_real_pictures_are_faisss(vocabulary, descriptor_sets, road):
    if not road_or_refused(road):
        return
    native = tree(vocabulary, road)
    # Pictures the vocabulary was learnt from, and pictures it never saw.
    for descriptors in descriptor_sets:
        expected = vocabulary.words_by_faiss(descriptors)
        assert np.array_equal(native.words(descriptors, road=road), expected)
    assert np.array_equal(vocabulary.words(descriptor_sets[5]), vocabulary.words_by_faiss(descriptor_sets[5]))


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("seed, top_count", [(1, 3), (2, 9), (3, 16), (4, 40)])
def test_equal_distances_are_broken_as_faiss_breaks_them(road, seed, top_count):
    if not road_or_refused(road):
        return
    rng = np.random.default_rng(seed)
    # Top codes repeat one another, so some lists stay empty; leaves are drawn from the same
    # few values, so nearly every descriptor is equally near several leaves.
    top = few_valued_codes(rng, top_count)
    leaves = few_valued_codes(rng, top_count * 5).reshape(top_count, 5, 32)
    vocabulary = candidates.Vocabulary(top, leaves)
    descriptors = np.concatenate([few_valued_codes(rng, 300), rng.integers(0, 256, (50, 32), dtype=np.uint8)])
    expected = vocabulary.words_by_faiss(descriptors)
    assert np.array_equal(tree(vocabulary, road).words(descriptors, road=road), expected)
    # Codes sharing a top code's value land in its list or, repeated, in the first copy's.
    assert np.array_equal(
        _verified_match.nearest_codes(top, descriptors, road=road),
        candidates._nearest_by_faiss(top, descriptors),
    )


@pytest.mark.parametrize("road", ROADS)
def test_a_descriptor_whose_top_word_lists_no_leaf_has_no_word(road):
    if not road_or_refused(road):
        return
    top = np.zeros((2, 32), np.uint8)
    top[1] = 0xFF
    leaves = np.zeros((2, 3, 32), np.uint8)  # every leaf is nearest the first top word
    vocabulary = candidates.Vocabulary(top, leaves)
    descriptors = np.stack([np.full(32, 0xFE, np.uint8), np.zeros(32, np.uint8)])
    assert vocabulary.words_by_faiss(descriptors).tolist() == [-1, 0]
    assert tree(vocabulary, road).words(descriptors, road=road).tolist() == [-1, 0]


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("count", [1, 7, 8, 9, 517])
def test_nearest_codes_of_any_count_are_faisss(descriptor_sets, road, count):
    """Counts that fill no whole group of eight, one, and several groups."""
    if not road_or_refused(road):
        return
    codes = descriptor_sets[0][:count]
    queries = descriptor_sets[1][:700]
    found = _verified_match.nearest_codes(codes, queries, road=road)
    assert np.array_equal(found, candidates._nearest_by_faiss(codes, queries))


def test_a_vocabulary_learnt_with_the_native_search_is_faisss(descriptor_sets, monkeypatch):
    sample = candidates.training_sample(descriptor_sets[:3])
    native = candidates.Vocabulary.train(sample)
    monkeypatch.setattr(candidates, "_nearest", candidates._nearest_by_faiss)
    by_faiss = candidates.Vocabulary.train(sample)
    assert np.array_equal(native.top, by_faiss.top)
    assert np.array_equal(native.leaves, by_faiss.leaves)


def test_no_codes_give_no_position():
    found = _verified_match.nearest_codes(np.zeros((0, 32), np.uint8), np.ones((3, 32), np.uint8))
    assert found.tolist() == [-1, -1, -1]


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: _verified_match.nearest_codes(np.zeros((4, 12), np.uint8), np.zeros((1, 12), np.uint8)),
            "8 bytes",
        ),
        (
            lambda: _verified_match.nearest_codes(np.zeros((4, 32), np.uint8), np.zeros((1, 16), np.uint8)),
            "one width",
        ),
        (lambda: _verified_match.nearest_codes(np.zeros(32, np.uint8), np.zeros((1, 32), np.uint8)), "codes"),
        (
            lambda: _verified_match.WordTree(np.zeros((2, 32), np.uint8), np.zeros((4, 16), np.uint8)),
            "one width",
        ),
        (
            lambda: _verified_match.WordTree(np.zeros((2, 32), np.uint8), np.zeros((4, 32), np.uint8)).words(
                np.zeros((3, 16), np.uint8)
            ),
            r"\(n, 32\)",
        ),
        (
            lambda: _verified_match.nearest_codes(
                np.zeros((1, 32), np.uint8), np.zeros((1, 32), np.uint8), road="sse9"
            ),
            "road",
        ),
    ],
)
def test_unusable_arguments_are_refused(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def faiss_lists(vocabulary):
    """The leaf numbers of every list of the vocabulary's faiss tree."""
    import faiss

    lists = vocabulary._tree.invlists
    return [
        faiss.rev_swig_ptr(lists.get_ids(number), lists.list_size(number)).tolist()
        for number in range(vocabulary.top.shape[0])
    ]


@pytest.mark.parametrize("seed", [5, 6])
def test_the_faiss_tree_lists_leaves_where_faiss_itself_would(descriptor_sets, monkeypatch, seed):
    """The faiss tree (which finds a crop's nearest words) is given the native tree's lists;
    they are the lists faiss makes when it places every leaf itself, duplicates included."""
    rng = np.random.default_rng(seed)
    top = descriptor_sets[4][rng.choice(len(descriptor_sets[4]), 64, replace=False)]
    top[10] = top[3]  # a repeated top word: its leaves belong to the first copy's list
    leaves = descriptor_sets[5][rng.choice(len(descriptor_sets[5]), 64 * 8)].reshape(64, 8, 32)
    leaves[10] = top[3]
    given = candidates.Vocabulary(top, leaves)
    monkeypatch.setattr(candidates, "_native_nearest", lambda codes: False)
    placed_by_faiss = candidates.Vocabulary(top, leaves)
    assert given._native_tree is not None or "avx512" not in _verified_match.nearest_code_roads()
    assert faiss_lists(given) == faiss_lists(placed_by_faiss)
    assert faiss_lists(given)[10] == []
    crop = descriptor_sets[0][:500]
    for found, expected in zip(given.near_words(crop, 2), placed_by_faiss.near_words(crop, 2)):
        assert np.array_equal(found, expected)
