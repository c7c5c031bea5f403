#include "verify_picture.h"

#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "geometry.h"
#include "ratio_matches.h"

namespace py = pybind11;

namespace verified_match {
namespace {

using Neighbours = py::array_t<int32_t, py::array::c_style | py::array::forcecast>;

Point pair_of(const py::tuple& values, const char* what) {
  if (values.size() != 2) throw std::invalid_argument(std::string(what) + " must be a pair");
  return {values[0].cast<double>(), values[1].cast<double>()};
}

void check_features(const Points& points, const Descriptors& descriptors, const char* side) {
  if (points.ndim() != 2 || points.shape(1) != 2 || descriptors.ndim() != 2 ||
      descriptors.shape(0) != points.shape(0)) {
    throw std::invalid_argument(std::string(side) +
                                ": points must be (n, 2) and descriptors (n, bytes)");
  }
}

// The two nearest picture descriptors of every crop descriptor, by Hamming distance, from
// OpenCV's brute-force batch search.
std::pair<Neighbours, Neighbours> two_nearest(const py::module_& cv2, const Descriptors& crop,
                                              const Descriptors& picture) {
  const py::tuple found =
      cv2.attr("batchDistance")(crop, picture, cv2.attr("CV_32S"),
                                py::arg("normType") = cv2.attr("NORM_HAMMING"), py::arg("K") = 2);
  auto distances = Neighbours::ensure(found[0]);
  auto indices = Neighbours::ensure(found[1]);
  if (!distances || !indices) throw py::error_already_set();
  return {distances, indices};
}

}  // namespace

py::object verify_picture(Points crop_points, Descriptors crop_descriptors, py::tuple crop_size,
                          Points picture_points, Descriptors picture_descriptors,
                          py::tuple picture_size, py::tuple picture_scale,
                          const VerifySettings& settings, py::object neighbours) {
  check_features(crop_points, crop_descriptors, "crop");
  check_features(picture_points, picture_descriptors, "picture");
  const Point outline = pair_of(crop_size, "crop_size");
  const Point picture_extent = pair_of(picture_size, "picture_size");
  const Point scale = pair_of(picture_scale, "picture_scale");
  const long needed = settings.min_inliers < 2 ? 2 : settings.min_inliers;
  if (crop_points.shape(0) < needed || picture_points.shape(0) < needed) return py::none();
  if (crop_descriptors.shape(1) != picture_descriptors.shape(1)) {
    throw std::invalid_argument("crop and picture descriptors differ in length");
  }

  const py::module_ cv2 = py::module_::import("cv2");
  Neighbours distances, indices;
  if (neighbours.is_none()) {
    std::tie(distances, indices) = two_nearest(cv2, crop_descriptors, picture_descriptors);
  } else {
    const py::tuple given = neighbours;
    if (given.size() != 2) throw std::invalid_argument("neighbours must be (distances, indices)");
    distances = Neighbours::ensure(given[0]);
    indices = Neighbours::ensure(given[1]);
    if (!distances || !indices) throw py::error_already_set();
    if (distances.ndim() != 2 || indices.ndim() != 2 ||
        distances.shape(0) != crop_points.shape(0) || indices.shape(0) != crop_points.shape(0) ||
        distances.shape(1) != 2 || indices.shape(1) != 2) {
      throw std::invalid_argument("neighbours must be two (crop descriptors, 2) arrays");
    }
  }
  const std::vector<Correspondence> matches =
      ratio_matches(distances.data(), indices.data(), crop_points.shape(0), settings.ratio,
                    picture_points.shape(0));
  if (static_cast<long>(matches.size()) < needed) return py::none();

  const auto crop_xy = crop_points.unchecked<2>();
  const auto picture_xy = picture_points.unchecked<2>();
  std::vector<Point> from, to;
  from.reserve(matches.size());
  to.reserve(matches.size());
  for (const Correspondence& match : matches) {
    from.push_back({crop_xy(match.crop_index, 0), crop_xy(match.crop_index, 1)});
    to.push_back({picture_xy(match.picture_index, 0), picture_xy(match.picture_index, 1)});
  }

  Placement placement;
  const FitSettings fit{settings.reprojection_threshold, settings.max_iterations,
                        settings.confidence};
  if (!fit_similarity(cv2, from, to, outline, fit, placement)) return py::none();
  if (placement.inliers < needed) return py::none();
  if (!plausible(placement, picture_extent, settings.min_side, settings.margin_share))
    return py::none();

  py::tuple corners(4);
  for (size_t i = 0; i < 4; ++i) {
    corners[i] = py::make_tuple(placement.corners[i].x * scale.x, placement.corners[i].y * scale.y);
  }
  return py::make_tuple(placement.inliers, corners);
}

}  // namespace verified_match
