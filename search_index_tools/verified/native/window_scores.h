// The pixel index's scores: for each picture, the best inner product of any of the crop's
// query vectors with any of the picture's window vectors, in exact integer arithmetic, so
// that every road (this one, or numpy's) gives the very same numbers.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace verified_match {

using WindowVectors =
    pybind11::array_t<int8_t, pybind11::array::c_style | pybind11::array::forcecast>;
using QueryVectors =
    pybind11::array_t<int16_t, pybind11::array::c_style | pybind11::array::forcecast>;
using PictureRows =
    pybind11::array_t<int64_t, pybind11::array::c_style | pybind11::array::forcecast>;

// vectors: (pictures, windows, dimension) signed bytes (a memory map is read in place);
// queries: (turns, dimension); rows: the pictures to score. Returns one int64 per row: the
// largest sum over the dimension of vector * query, over every window and query. road:
// "avx2", "portable" (one window at a time, on any processor) or "" (the fastest there is);
// every road gives the same numbers.
pybind11::array_t<int64_t> best_window_scores(const WindowVectors& vectors,
                                              const QueryVectors& queries, const PictureRows& rows,
                                              const std::string& road);

}  // namespace verified_match
