#include "geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include <pybind11/numpy.h>

namespace py = pybind11;

namespace verified_match {
namespace {

py::array_t<float> point_array(const std::vector<Point>& points) {
  py::array_t<float> array({static_cast<py::ssize_t>(points.size()), py::ssize_t{2}});
  auto view = array.mutable_unchecked<2>();
  for (size_t i = 0; i < points.size(); ++i) {
    view(i, 0) = static_cast<float>(points[i].x);
    view(i, 1) = static_cast<float>(points[i].y);
  }
  return array;
}

long count_inliers(const py::object& mask) {
  if (mask.is_none()) return 0;
  const auto flags = py::array_t<uint8_t, py::array::c_style | py::array::forcecast>::ensure(mask);
  if (!flags) throw py::error_already_set();
  long count = 0;
  const uint8_t* data = flags.data();
  for (py::ssize_t i = 0; i < flags.size(); ++i) count += data[i] != 0;
  return count;
}

double distance(Point a, Point b) { return std::hypot(a.x - b.x, a.y - b.y); }

}  // namespace

bool fit_similarity(const py::module_& cv2, const std::vector<Point>& crop,
                    const std::vector<Point>& picture, Point outline, const FitSettings& settings,
                    Placement& placement) {
  // The estimator seeds its own random generator on every call, so the same points always
  // give the same transform, whatever was estimated before in this process.
  const py::tuple fitted = cv2.attr("estimateAffinePartial2D")(
      point_array(crop), point_array(picture), py::arg("method") = cv2.attr("RANSAC"),
      py::arg("ransacReprojThreshold") = settings.reprojection_threshold,
      py::arg("maxIters") = settings.max_iterations, py::arg("confidence") = settings.confidence);
  const py::object matrix = fitted[0];
  if (matrix.is_none()) return false;
  const auto m = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(matrix);
  if (!m || m.size() != 6) return false;
  const double* a = m.data();
  const std::array<Point, 4> crop_corners{Point{0, 0}, Point{outline.x, 0},
                                          Point{outline.x, outline.y}, Point{0, outline.y}};
  for (size_t i = 0; i < 4; ++i) {
    const Point c = crop_corners[i];
    placement.corners[i] = {a[0] * c.x + a[1] * c.y + a[2], a[3] * c.x + a[4] * c.y + a[5]};
  }
  placement.inliers = count_inliers(fitted[1]);
  return true;
}

bool plausible(const Placement& placement, Point picture_size, double min_side,
               double margin_share) {
  const auto& c = placement.corners;
  for (const Point& corner : c) {
    if (!std::isfinite(corner.x) || !std::isfinite(corner.y)) return false;
  }
  if (distance(c[0], c[1]) < min_side || distance(c[1], c[2]) < min_side) return false;
  // A crop is cut from the picture, so its whole outline lies in it. A chance fit to a few
  // look-alike keypoints rarely puts all four corners there, which is what lets the search
  // accept fewer consistent matches without answering foreign crops.
  const double margin = margin_share * std::max(picture_size.x, picture_size.y);
  for (const Point& corner : c) {
    if (corner.x < -margin || corner.y < -margin || corner.x > picture_size.x + margin ||
        corner.y > picture_size.y + margin) {
      return false;
    }
  }
  return true;
}

}  // namespace verified_match
