// The steps of matching a crop against one picture that the direct road (reading and
// detecting every time) and the stored-keypoint road share, so both decide alike.
#pragma once

#include <cstddef>
#include <vector>

#include "crop_search/greyscale_read.h"
#include "module/python_helpers.h"

namespace sil {

// ORB gives None (or, in some OpenCV builds, an empty array) as descriptors when it finds no
// keypoint; such a side has nothing to match.
bool has_descriptors(py::handle descriptors);

// Whether a crop of shape `crop_shape` fits a picture of shape `image_shape` (rows, columns,
// ...): no taller and no wider; the height is compared first and the width only when the
// height passes. Python comparisons keep the semantics of whatever shape objects the
// caller's array gives.
bool crop_fits(py::handle crop_shape, py::handle image_shape);

// Positions of `matches` in match order, closest first; equal distances keep the matcher's
// own order.
std::vector<size_t> order_by_distance(const py::sequence& matches);

// The Hamming cross-checked matches of the picture's descriptors (query) against the crop's
// (train).
py::sequence match_descriptors(const Namespace& ns, py::handle image_descriptors,
                               py::handle crop_descriptors);

}  // namespace sil
