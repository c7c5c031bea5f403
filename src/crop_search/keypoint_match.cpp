#include <algorithm>
#include <numeric>
#include <vector>

#include "crop_search/greyscale_read.h"
#include "module/python_helpers.h"

namespace sil {
namespace {

// ORB gives None (or, in some OpenCV builds, an empty array) as descriptors when it finds no
// keypoint. The Hamming matcher then either asserts or matches nothing depending on the build,
// so such a side is settled here: a flat picture or a flat crop simply has nothing to match.
bool has_descriptors(py::handle descriptors) {
  return !descriptors.is_none() && py::len(descriptors) > 0;
}

// The crop fits when it is no taller and no wider than the image; the height is compared
// first and the width only when the height passes. Python comparisons keep the semantics of
// whatever shape objects the caller's array gives.
bool crop_fits(py::handle cropped_image, py::handle image) {
  const py::object crop_shape = cropped_image.attr("shape");
  const py::object image_shape = image.attr("shape");
  const py::int_ rows(0), columns(1);
  if (comparison_holds(crop_shape[rows], image_shape[rows], Py_GT)) return false;
  return !comparison_holds(crop_shape[columns], image_shape[columns], Py_GT);
}

// Match order, closest first; equal distances keep the matcher's own order.
std::vector<size_t> order_by_distance(const py::sequence& matches) {
  std::vector<double> distances;
  distances.reserve(matches.size());
  for (py::handle match : matches) distances.push_back(match.attr("distance").cast<double>());
  std::vector<size_t> order(distances.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return distances[a] < distances[b]; });
  return order;
}

// (x, y) of an image keypoint, each truncated toward zero as int() does.
py::tuple keypoint_position(py::handle keypoint) {
  const py::object point = keypoint.attr("pt");
  const double x = point[py::int_(0)].cast<double>();
  const double y = point[py::int_(1)].cast<double>();
  return py::make_tuple(steal_or_throw(PyLong_FromDouble(x)), steal_or_throw(PyLong_FromDouble(y)));
}

}  // namespace

py::object live_search_find_matched(const Namespace& ns, const py::handle* args) {
  const py::handle image_path = args[0];
  const py::handle cropped_image = args[1];
  const py::object cv2 = ns["cv2"];

  const py::object orb = cv2.attr("ORB_create")();
  const py::object image = read_greyscale(ns, image_path);
  if (image.is_none()) return py::none();
  if (!crop_fits(cropped_image, image)) return py::none();

  // The image is the query side and the crop the train side of the matching.
  const py::tuple image_features = orb.attr("detectAndCompute")(image, py::none());
  const py::tuple crop_features = orb.attr("detectAndCompute")(cropped_image, py::none());
  const py::object image_keypoints = image_features[0];
  const py::object image_descriptors = image_features[1];
  const py::object crop_descriptors = crop_features[1];
  if (!has_descriptors(image_descriptors) || !has_descriptors(crop_descriptors)) {
    return py::none();
  }

  const py::object matcher =
      cv2.attr("BFMatcher")(cv2.attr("NORM_HAMMING"), py::arg("crossCheck") = true);
  const py::sequence matches = matcher.attr("match")(image_descriptors, crop_descriptors);
  if (matches.size() == 0) return py::none();

  py::list matched_points;
  for (size_t position : order_by_distance(matches)) {
    const py::object query_index = matches[position].attr("queryIdx");
    matched_points.append(keypoint_position(image_keypoints[query_index]));
  }
  return ns["MatchedResult"](py::arg("image_path") = image_path,
                             py::arg("matched_points") = matched_points);
}

}  // namespace sil
