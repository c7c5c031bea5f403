#include "crop_search/match_steps.h"
#include "module/python_helpers.h"

namespace sil {
namespace {

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
  if (!crop_fits(cropped_image.attr("shape"), image.attr("shape"))) return py::none();

  // The image is the query side and the crop the train side of the matching.
  const py::tuple image_features = orb.attr("detectAndCompute")(image, py::none());
  const py::tuple crop_features = orb.attr("detectAndCompute")(cropped_image, py::none());
  const py::object image_keypoints = image_features[0];
  const py::object image_descriptors = image_features[1];
  const py::object crop_descriptors = crop_features[1];
  if (!has_descriptors(image_descriptors) || !has_descriptors(crop_descriptors)) {
    return py::none();
  }

  const py::sequence matches = match_descriptors(ns, image_descriptors, crop_descriptors);
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
