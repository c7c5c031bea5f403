// The choice of the keypoints a picture keeps: at most `count` of its detected keypoints,
// spread over a grid of square cells.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace verified_match {

using SpreadPoints =
    pybind11::array_t<float, pybind11::array::c_style | pybind11::array::forcecast>;
using Responses = pybind11::array_t<double, pybind11::array::c_style | pybind11::array::forcecast>;

// The positions (ascending, int64) of the keypoints kept: every cell gives its strongest
// first, then its second strongest, and so on, and within one such round the stronger
// keypoints come first. Equal responses keep detection order, and a NaN response counts as
// the weakest. `points` is (n, 2) x, y; `columns` the grid's width in cells.
pybind11::array_t<int64_t> spread_positions(SpreadPoints points, Responses responses, long columns,
                                            long cell, long count);

}  // namespace verified_match
