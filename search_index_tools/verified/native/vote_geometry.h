// How well the candidate index's votes for a picture agree on one placement of the crop: votes
// that a sighting gives keep the crop's layout, while chance votes land anywhere.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace verified_match {

struct VoteGeometrySettings {
  double tolerance;  // pixels of the picture's working size a vote may miss its place by
  double min_scale;  // bounds of the crop-to-picture scale a pair of votes may imply
  double max_scale;
  double min_spread;    // pixels of the crop's working size two votes must lie apart to fix a
                        // transform
  long max_hypotheses;  // the heaviest votes of a picture that pairs are formed from
  long best_of;         // > 0: only pictures that may be among this many best are scored
};

// `pictures` (m,) int64 sorted so each picture's votes are consecutive; `weights` (m,)
// float64; `crop_points` and `picture_points` (m, 2) float32: where the voting crop descriptor
// lies in the crop and where the picture's matched descriptor lies in the picture. Returns
// (numbers, scores): every picture once, in the order met, with the largest weight sum of
// its votes that one similarity transform (fixed by two of them) takes to within `tolerance`
// of their places. A picture of fewer than three votes scores its heaviest vote: two votes
// always fit some transform, so they say nothing of the layout. With best_of > 0, pictures
// are scored by decreasing total weight of their votes (which bounds their score) and left
// out once that total is below the best_of-th score so far: the best_of best are the same.
pybind11::tuple consistent_votes(pybind11::array_t<int64_t, pybind11::array::c_style> pictures,
                                 pybind11::array_t<double, pybind11::array::c_style> weights,
                                 pybind11::array_t<float, pybind11::array::c_style> crop_points,
                                 pybind11::array_t<float, pybind11::array::c_style> picture_points,
                                 const VoteGeometrySettings& settings);

}  // namespace verified_match
