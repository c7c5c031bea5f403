"""The word of every descriptor in the verified search's candidate index, found by the
package's native nearest-code search against faiss's inverted-file index, on the picture
features of the real photographs of bench_verified_quality.py's folder (made here when
missing).

    .venv/bin/python bench/bench_verified_word_assignment.py [--runs 5]

Reads every picture's features once (in this process), learns the vocabulary a first search
would learn from them, and checks that every road gives every descriptor the same word, and
that the vocabulary learnt with either nearest search is the same. Then times, taking turns
in every run: the words of all pictures on one thread (processor time), for faiss and for
every native road the processor offers; and the vocabulary's learning with either search.
Prints medians over the runs and the load average.
"""

import argparse
import functools
import os
import statistics
import sys
import time
from pathlib import Path

import bench_support
import numpy as np

HERE = Path(__file__).resolve().parent


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    sys.path.insert(0, str(HERE))
    from search_index_tools.verified import _verified_match, candidates

    readings = bench_support.verified_quality_readings()
    sets = [result.features.descriptors for _, result in readings if result.features is not None]
    sample = candidates.training_sample(sets)
    vocabulary = candidates.Vocabulary.train(sample)
    nearest = candidates._nearest
    candidates._nearest = candidates._nearest_by_faiss
    assert np.array_equal(candidates.Vocabulary.train(sample).leaves, vocabulary.leaves), (
        "vocabularies differ"
    )
    candidates._nearest = nearest
    top, leaves = vocabulary.top, vocabulary.leaves.reshape(-1, vocabulary.top.shape[1])
    roads = {"faiss": vocabulary.words_by_faiss}
    for road in _verified_match.nearest_code_roads():
        roads[f"native {road}"] = functools.partial(
            _verified_match.WordTree(top, leaves, road=road).words, road=road
        )
    expected = [vocabulary.words_by_faiss(descriptors) for descriptors in sets]
    for name, words in roads.items():
        assert all(np.array_equal(words(d), e) for d, e in zip(sets, expected)), f"{name} differs"
    count = sum(len(descriptors) for descriptors in sets)
    print(f"{len(sets)} pictures, {count} descriptors: the same word for every one on every road")

    word_times = {name: [] for name in roads}
    learning = {"faiss": [], "native": []}
    for _ in range(args.runs):
        for name, words in roads.items():
            start = time.thread_time()
            for descriptors in sets:
                words(descriptors)
            word_times[name].append(time.thread_time() - start)
        for name, search in (("faiss", candidates._nearest_by_faiss), ("native", nearest)):
            candidates._nearest = search
            start = time.thread_time()
            candidates.Vocabulary.train(sample)
            learning[name].append(time.thread_time() - start)
        candidates._nearest = nearest
    for name, values in word_times.items():
        print(f"words of all pictures, {name}: {statistics.median(values):.3f} s processor time")
    for name, values in learning.items():
        print(f"vocabulary learnt with {name}: {statistics.median(values):.3f} s processor time")
    print(f"medians of {args.runs} runs, load {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
