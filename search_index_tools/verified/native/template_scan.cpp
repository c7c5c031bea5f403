#include "template_scan.h"

#include <cmath>
#include <stdexcept>

namespace py = pybind11;

namespace verified_match {
namespace {

using Scores = py::array_t<float, py::array::c_style | py::array::forcecast>;

Scores match(const py::module_& cv2, const GreyImage& image, const GreyImage& templ,
             const char* method) {
  auto scores = Scores::ensure(cv2.attr("matchTemplate")(image, templ, cv2.attr(method)));
  if (!scores) throw py::error_already_set();
  return scores;
}

void check_grey(const GreyImage& image, const char* what) {
  if (image.ndim() != 2) throw std::invalid_argument(std::string(what) + " must be a 2-d grey array");
}

}  // namespace

bool best_spot(const py::module_& cv2, const GreyImage& image, const GreyImage& templ,
               double rms_scale, Spot& spot) {
  check_grey(image, "image");
  check_grey(templ, "template");
  const long height = static_cast<long>(templ.shape(0));
  const long width = static_cast<long>(templ.shape(1));
  if (height < 1 || width < 1 || height > image.shape(0) || width > image.shape(1)) return false;
  const Scores correlation = match(cv2, image, templ, "TM_CCOEFF_NORMED");
  const Scores squared = match(cv2, image, templ, "TM_SQDIFF");
  const auto r = correlation.unchecked<2>();
  const auto s = squared.unchecked<2>();
  const double area = static_cast<double>(width) * static_cast<double>(height);
  bool found = false;
  for (py::ssize_t y = 0; y < r.shape(0); ++y) {
    for (py::ssize_t x = 0; x < r.shape(1); ++x) {
      const double rms = std::sqrt(std::max(0.0, static_cast<double>(s(y, x))) / area);
      const double score = static_cast<double>(r(y, x)) - rms / rms_scale;
      // Strictly greater: on a tie the first spot in reading order stays.
      if (std::isfinite(score) && (!found || score > spot.score)) {
        spot = {score, static_cast<long>(x), static_cast<long>(y), width, height};
        found = true;
      }
    }
  }
  return found;
}

py::object scan_thumbnail(GreyImage image, const py::list& templates, double rms_scale) {
  const py::module_ cv2 = py::module_::import("cv2");
  Spot best;
  bool found = false;
  for (const py::handle item : templates) {
    const auto templ = GreyImage::ensure(item);
    if (!templ) throw py::error_already_set();
    Spot spot;
    if (best_spot(cv2, image, templ, rms_scale, spot) && (!found || spot.score > best.score)) {
      best = spot;
      found = true;
    }
  }
  if (!found) return py::none();
  return py::make_tuple(best.score, best.x, best.y, best.width, best.height);
}

}  // namespace verified_match
