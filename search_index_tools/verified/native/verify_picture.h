// One picture against one crop: nearest-neighbour matching of the descriptors, the ratio
// test, and the geometric verification of what survives.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace verified_match {

struct VerifySettings {
  double ratio;      // ratio test threshold
  long min_inliers;  // fewer consistent correspondences: not a result
  double reprojection_threshold;
  long max_iterations;
  double confidence;
  double min_side;      // smallest side of the crop's outline in the picture, pixels
  double margin_share;  // how far the outline may reach past the picture's edges, as a
                        // share of its longer side
};

using Points = pybind11::array_t<float, pybind11::array::c_style | pybind11::array::forcecast>;
using Descriptors =
    pybind11::array_t<uint8_t, pybind11::array::c_style | pybind11::array::forcecast>;

// None, or (inliers, ((x, y) * 4)): the number of correspondences consistent with one
// similarity transform, and the crop's outline mapped into the picture, scaled by
// `picture_scale` from the working size to the picture's own pixels. Points are (n, 2)
// arrays of x, y in the working size of their image; descriptors are (n, bytes) arrays.
// `neighbours`, when not None, is (distances, indices) of the two nearest picture descriptors
// of every crop descriptor, found by the caller (with any exact search: the ratio test only
// reads the two distances and the nearest index, which every exact search agrees on); None
// finds them with OpenCV's brute-force batch search.
pybind11::object verify_picture(Points crop_points, Descriptors crop_descriptors,
                                pybind11::tuple crop_size, Points picture_points,
                                Descriptors picture_descriptors, pybind11::tuple picture_size,
                                pybind11::tuple picture_scale, const VerifySettings& settings,
                                pybind11::object neighbours);

}  // namespace verified_match
