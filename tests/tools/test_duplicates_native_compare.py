"""The native comparison of candidate pairs against the numpy comparison it stands in for, on
thumbnails read from real-looking pictures: every edit of a photograph and of a finely
detailed picture, and the distractors. Verdicts, transforms and crop flags must be the same,
similarities within 1e-6 (sums are taken in another order; seen: 2e-9 at most)."""

import io
import itertools
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from duplicates_support import EDITS, TEXTURE_EDITS, distractors, original, texture, write_edit
from PIL import Image

from search_index_tools.duplicates import descriptor, grouping, pair_verdicts
from search_index_tools.duplicates.finder import SIMILARITY_LEVELS
from search_index_tools.duplicates.reading import grey_thumbnail

CLOSE = 1e-6


def _read(path):
    return grey_thumbnail(path.read_bytes())


@pytest.fixture(scope="module")
def pictures(tmp_path_factory):
    """(thumbnails, sizes, plain) of an original with every edit, a textured picture and a
    striped one with their crops, and the distractors, as the finder reads them."""
    folder = tmp_path_factory.mktemp("native")
    paths = []
    sources = [(original(), EDITS), (texture(11), TEXTURE_EDITS), (_stripes(), TEXTURE_EDITS)]
    for number, (picture, edits) in enumerate(sources):
        paths.append(folder / f"original_{number}.png")
        picture.save(paths[-1])
        paths += [write_edit(folder / f"edits_{number}", name, picture, edits) for name in edits]
    paths += [path for kind in distractors(folder / "others").values() for path in kind]
    reads = [_read(path) for path in paths]
    thumbnails = descriptor.thumbnails_array([read[2] for read in reads])
    plain = descriptor.structure(thumbnails) < descriptor.PLAIN_STRUCTURE
    return thumbnails, [(read[0], read[1]) for read in reads], plain


def _stripes(width=360, height=270):
    """Stripes across, the same down every column: every cut of the rows fits equally well,
    and which one is taken must not be left to rounding."""
    x = np.arange(width, dtype=np.float32)
    row = 128 + 90 * np.sin(x / 7) * np.cos(x / 31)
    return Image.fromarray(np.repeat(row[None, :], height, axis=0).astype(np.uint8)).convert("RGB")


def _structured_pairs(pictures, step=1):
    thumbnails, _, plain = pictures
    structured = np.flatnonzero(~plain)
    return list(itertools.combinations(structured.tolist(), 2))[::step]


@pytest.mark.parametrize("transform", range(8))
def test_each_comparison_is_the_numpy_one(pictures, transform):
    thumbnails = pictures[0]
    comparer = pair_verdicts.comparer()
    cropped = 0
    for first, second in _structured_pairs(pictures, 3):
        expected = descriptor.compare(thumbnails[first], thumbnails[second], transform)
        similarity, was_cropped = comparer.compare(thumbnails[first], thumbnails[second], transform)
        assert similarity == pytest.approx(expected.similarity, abs=CLOSE), (first, second)
        assert was_cropped == expected.cropped, (first, second)
        cropped += was_cropped
    assert cropped > 0  # the cut frames' resampling was compared too


def _numpy_verdict(thumbnails, sizes, first, second, transforms, plain, threshold):
    if plain:
        return grouping.verify_plain(thumbnails, sizes, first, second, transforms)
    return grouping.verify_structured(thumbnails, sizes, first, second, transforms, threshold)


# Proposed transforms: the right one among others, wrong ones only (the other turns are then
# ranked and tried), and none.
PROPOSALS = [{0}, {0, 4}, {1, 2, 3}, {5, 6, 7}, set()]


@pytest.mark.parametrize("level", sorted(SIMILARITY_LEVELS))
def test_verdicts_are_the_numpy_ones(pictures, level):
    thumbnails, sizes, plain = pictures
    threshold = SIMILARITY_LEVELS[level]
    pairs = []
    for number, (first, second) in enumerate(itertools.combinations(range(len(thumbnails)), 2)):
        both_plain = bool(plain[first] and plain[second])
        if both_plain or not (plain[first] or plain[second]):
            pairs.append((first, second, PROPOSALS[number % len(PROPOSALS)], both_plain))
    found = pair_verdicts.verdicts(
        thumbnails,
        sizes,
        [
            (first, second, grouping.transform_mask(proposed), is_plain)
            for first, second, proposed, is_plain in pairs
        ],
        threshold,
    )
    same = 0
    for slot, (first, second, proposed, is_plain) in enumerate(pairs):
        expected = _numpy_verdict(thumbnails, sizes, first, second, proposed, is_plain, threshold)
        assert bool(found.same[slot]) == (expected is not None), (first, second, proposed)
        if expected is not None:
            same += 1
            assert (int(found.transform[slot]), bool(found.cropped[slot])) == (
                expected.transform,
                expected.cropped,
            )
            assert found.similarity[slot] == pytest.approx(expected.similarity, abs=CLOSE)
    assert same >= 20  # many pairs are copies: both verdicts were exercised


@pytest.mark.slow  # every picture against every other under all eight turns
def test_best_transform_is_the_numpy_one(pictures):
    """The same best comparison; where two transforms tie (stripes are their own mirror image)
    either may be named, as long as it gives that comparison."""
    thumbnails, sizes, _ = pictures
    for first, second in _structured_pairs(pictures, 2):
        for a, b in ((first, second), (second, first)):
            _, expected = descriptor.best_transform(thumbnails[a], thumbnails[b], sizes[a], sizes[b])
            index, comparison = pair_verdicts.best_transform(thumbnails[a], thumbnails[b], sizes[a], sizes[b])
            assert comparison.similarity == pytest.approx(expected.similarity, abs=CLOSE), (a, b)
            assert descriptor.compare(thumbnails[a], thumbnails[b], index) == pytest.approx(
                (expected.similarity, expected.cropped), abs=CLOSE
            ), (a, b)


def test_groups_are_those_of_the_numpy_comparison(pictures, monkeypatch):
    thumbnails, sizes, plain = pictures
    native = grouping.verified_pairs(thumbnails, sizes, plain, 0.93)

    monkeypatch.setattr(pair_verdicts, "verdicts", pair_verdicts.reference_verdicts)
    reference = grouping.verified_pairs(thumbnails, sizes, plain, 0.93)
    assert [pair[:3] + pair[4:] for pair in native] == [pair[:3] + pair[4:] for pair in reference]
    assert [pair.similarity for pair in native] == pytest.approx(
        [pair.similarity for pair in reference], abs=CLOSE
    )
    assert len(grouping.connected_groups(len(thumbnails), native)) >= 2


@pytest.mark.parametrize(
    "places, named",
    [
        (None, "places"),
        (np.array([0]), "places"),
        (np.array([0, 2]), "beyond"),
        (np.array([-1, 0]), "beyond"),
    ],
)
def test_places_in_a_scan_memo_are_checked(places, named):
    with pytest.raises((ValueError, IndexError), match=named):
        pair_verdicts.comparer().verdicts(
            np.zeros((2, 64, 64), np.uint8),
            np.full((2, 2), 64),
            np.array([0]),
            np.array([1]),
            np.array([1], np.uint8),
            np.zeros(1, dtype=bool),
            0.9,
            pair_verdicts.scan_memo(2),
            places,
        )


@pytest.mark.parametrize(
    "change, named",
    [
        (lambda args: args.update(thumbnails=args["thumbnails"][:, :32]), "thumbnails"),
        (lambda args: args.update(sizes=args["sizes"][:1]), "sizes"),
        (lambda args: args.update(seconds=np.array([0, 2])), "not there"),
        (lambda args: args.update(firsts=np.array([-1, 0])), "not there"),
        (lambda args: args.update(plain=np.zeros(3, dtype=bool)), "plain"),
    ],
)
def test_bad_arguments_are_refused(change, named):
    args = {
        "thumbnails": np.zeros((2, 64, 64), np.uint8),
        "sizes": np.full((2, 2), 64),
        "firsts": np.array([0, 1]),
        "seconds": np.array([1, 0]),
        "proposed": np.array([1, 3], np.uint8),
        "plain": np.zeros(2, dtype=bool),
        "threshold": 0.9,
    }
    change(args)
    with pytest.raises((ValueError, IndexError), match=named):
        pair_verdicts.comparer().verdicts(**args)


def test_a_pair_read_from_files_in_both_orders(tmp_path):
    """A copy turned a quarter and cut, proposed under no transform: found in both orders of
    the pair, with inverse transforms, cropped."""
    picture = original()
    data = io.BytesIO()
    picture.crop((20, 0, picture.width, picture.height)).transpose(Image.Transpose.ROTATE_90).save(
        data, "PNG"
    )
    reads = [grey_thumbnail(_png(picture)), grey_thumbnail(data.getvalue())]
    thumbnails = descriptor.thumbnails_array([read[2] for read in reads])
    sizes = [(read[0], read[1]) for read in reads]
    found = pair_verdicts.verdicts(thumbnails, sizes, [(0, 1, 0, False), (1, 0, 0, False)], 0.93)
    assert found.same.all()
    # The first turns the copy back onto the original, the second the original onto the copy.
    assert [descriptor.TRANSFORM_NAMES[index] for index in found.transform] == ["turned 90", "turned 270"]
    assert bool(found.cropped[0]) and bool(found.cropped[1])


def _png(picture):
    data = io.BytesIO()
    picture.save(data, "PNG")
    return data.getvalue()


def _one_by_one(thumbnails, sizes, pairs, threshold):
    """Each pair's verdict from a call of its own: nothing worked out for one pair can serve
    another."""
    alone = [pair_verdicts.verdicts(thumbnails, sizes, [pair], threshold) for pair in pairs]
    return tuple(
        np.concatenate([getattr(found, name) for found in alone]) for name in pair_verdicts.Verdicts._fields
    )


@pytest.mark.parametrize("order", ["sorted", "shuffled", "reversed"])
@pytest.mark.parametrize("level", ["normal", "loose"])
def test_many_pairs_in_one_call_are_decided_as_each_alone(pictures, order, level):
    """A picture in many pairs is worked out once per call (its first picture's profiles, its
    coarse vectors for the other turns): every verdict must be the very one, to the bit, that a
    call for that pair alone gives, whatever the order of the pairs."""
    thumbnails, sizes, plain = pictures
    structured = np.flatnonzero(~plain).tolist()
    pairs = [
        (first, second, grouping.transform_mask(PROPOSALS[number % len(PROPOSALS)]), False)
        for number, (first, second) in enumerate(itertools.permutations(structured, 2))
    ][::3]
    if order == "shuffled":
        pairs = [pairs[slot] for slot in np.random.default_rng(3).permutation(len(pairs))]
    elif order == "reversed":
        pairs = pairs[::-1]
    threshold = SIMILARITY_LEVELS[level]
    together = pair_verdicts.verdicts(thumbnails, sizes, pairs, threshold)
    alone = _one_by_one(thumbnails, sizes, pairs, threshold)
    shared = _in_slices_sharing_a_memo(thumbnails, sizes, pairs, threshold)
    for name, expected in zip(pair_verdicts.Verdicts._fields, alone):
        assert np.array_equal(getattr(together, name), expected), name
        assert np.array_equal(getattr(shared, name), expected), name
    assert 20 <= int(together.same.sum()) < len(pairs)


def _in_slices_sharing_a_memo(thumbnails, sizes, pairs, threshold, size=7):
    """The verdicts made as a scan on threads makes them: slices of pairs, each with the
    thumbnails it names in an order of its own, on two threads, sharing the scan's memo."""
    memo = pair_verdicts.scan_memo(len(thumbnails))

    def one_slice(part):
        places = sorted({place for first, second, _, _ in part for place in (first, second)}, reverse=True)
        slot = {place: number for number, place in enumerate(places)}
        local = [(slot[first], slot[second], mask, plain) for first, second, mask, plain in part]
        return pair_verdicts.verdicts(
            thumbnails[places], [sizes[place] for place in places], local, threshold, memo, places
        )

    with ThreadPoolExecutor(2) as threads:
        found = list(
            threads.map(one_slice, [pairs[first : first + size] for first in range(0, len(pairs), size)])
        )
    return pair_verdicts.Verdicts(
        *(np.concatenate([getattr(part, name) for part in found]) for name in pair_verdicts.Verdicts._fields)
    )


@pytest.mark.parametrize(
    "size_first, size_second, proposed",
    [
        ((400, 300), (400, 300), {1}),  # a proposal the shapes refuse: the others are ranked
        ((400, 300), (300, 400), {0}),  # only the turns fit
        ((400, 300), (120, 900), {0, 1}),  # nothing fits at all
    ],
)
def test_shapes_decide_which_other_turns_are_compared(pictures, size_first, size_second, proposed):
    """The other turns are compared only where the two pictures' shapes allow them; the
    verdicts match the numpy comparison's for every edit against the original."""
    thumbnails, _, plain = pictures
    structured = np.flatnonzero(~plain).tolist()
    sizes = [size_first if slot % 2 == 0 else size_second for slot in range(len(thumbnails))]
    pairs = [(structured[0], second, grouping.transform_mask(proposed), False) for second in structured[1:]]
    found = pair_verdicts.verdicts(thumbnails, sizes, pairs, 0.93)
    expected = pair_verdicts.reference_verdicts(thumbnails, sizes, pairs, 0.93)
    assert found.same.tolist() == expected.same.tolist()
    assert found.transform.tolist() == expected.transform.tolist()
    assert found.cropped.tolist() == expected.cropped.tolist()


@pytest.mark.parametrize(
    "refused",
    [
        lambda slot, run: slot == 0,  # the first pair of each run: its picture not needed yet
        lambda slot, run: slot < run - 1,  # all but the last
        lambda slot, run: slot % 2 == 1,  # every other one
        lambda slot, run: False,
    ],
    ids=["first", "all_but_last", "every_other", "none"],
)
def test_runs_sharing_a_first_picture_with_pairs_the_shapes_refuse(pictures, refused):
    """A run of pairs sharing their first picture prepares it when a pair is first compared in
    full; a pair whose shapes allow no transform is decided without it. Every verdict must be
    the one a call for that pair alone gives, to the bit, and the refused pairs are not the
    same picture."""
    thumbnails, sizes, plain = pictures
    structured = np.flatnonzero(~plain).tolist()
    tall = (120, 900)  # no turn of it has about the shape of any picture here
    own_sizes = list(sizes) + [tall] * len(structured)
    everything = np.concatenate([thumbnails, thumbnails[structured]])
    stand_in = {place: len(thumbnails) + slot for slot, place in enumerate(structured)}
    pairs, refusals = [], []
    for first in structured[:12]:
        seconds = [second for second in structured if second != first][:6]
        for slot, second in enumerate(seconds):
            no_fit = refused(slot, len(seconds))
            # The same thumbnail, under a shape no transform fits.
            pairs.append(
                (first, stand_in[second] if no_fit else second, grouping.transform_mask({0, 4}), False)
            )
            refusals.append(no_fit)
    together = pair_verdicts.verdicts(everything, own_sizes, pairs, 0.9)
    alone = _one_by_one(everything, own_sizes, pairs, 0.9)
    for name, expected in zip(pair_verdicts.Verdicts._fields, alone):
        assert np.array_equal(getattr(together, name), expected), name
    assert not together.same[np.array(refusals, dtype=bool)].any()
    assert together.same[~np.array(refusals, dtype=bool)].any()
