#include "crop_search/match_steps.h"

#include <algorithm>
#include <numeric>

namespace sil {

bool has_descriptors(py::handle descriptors) {
  return !descriptors.is_none() && py::len(descriptors) > 0;
}

bool crop_fits(py::handle crop_shape, py::handle image_shape) {
  const py::int_ rows(0), columns(1);
  if (comparison_holds(crop_shape[rows], image_shape[rows], Py_GT)) return false;
  return !comparison_holds(crop_shape[columns], image_shape[columns], Py_GT);
}

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

py::sequence match_descriptors(const Namespace& ns, py::handle image_descriptors,
                               py::handle crop_descriptors) {
  const py::object cv2 = ns["cv2"];
  const py::object matcher =
      cv2.attr("BFMatcher")(cv2.attr("NORM_HAMMING"), py::arg("crossCheck") = true);
  return matcher.attr("match")(image_descriptors, crop_descriptors);
}

}  // namespace sil
