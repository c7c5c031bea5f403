#include "placement_refine.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace py = pybind11;

namespace verified_match {
namespace {

struct Region {
  long x, y, width, height;
};

Region region_of(const py::tuple& values) {
  if (values.size() != 4) throw std::invalid_argument("predicted must be (x, y, width, height)");
  return {values[0].cast<long>(), values[1].cast<long>(), values[2].cast<long>(),
          values[3].cast<long>()};
}

GreyImage resized(const py::module_& cv2, const GreyImage& crop, long width, long height) {
  auto out = GreyImage::ensure(cv2.attr("resize")(
      crop, py::make_tuple(width, height), py::arg("interpolation") = cv2.attr("INTER_AREA")));
  if (!out) throw py::error_already_set();
  return out;
}

GreyImage window(const GreyImage& image, long x0, long y0, long x1, long y1) {
  return GreyImage::ensure(image[py::make_tuple(py::slice(y0, y1, 1), py::slice(x0, x1, 1))]);
}

}  // namespace

py::object refine_placement(GreyImage image, GreyImage crop, py::tuple predicted,
                            const RefineSettings& settings) {
  if (image.ndim() != 2 || crop.ndim() != 2 || crop.shape(0) < 1 || crop.shape(1) < 1) {
    throw std::invalid_argument("image and crop must be non-empty 2-d grey arrays");
  }
  const Region guess = region_of(predicted);
  const long image_height = static_cast<long>(image.shape(0));
  const long image_width = static_cast<long>(image.shape(1));
  const double aspect = static_cast<double>(crop.shape(0)) / static_cast<double>(crop.shape(1));
  const py::module_ cv2 = py::module_::import("cv2");
  const long steps = static_cast<long>(std::floor(settings.spread / settings.step + 1e-9));

  Spot best;
  py::object best_template = py::none();
  long last_width = -1;
  for (long i = -steps; i <= steps; ++i) {
    const long width = std::lround(guess.width * (1.0 + i * settings.step));
    const long height = std::lround(width * aspect);
    if (width == last_width) continue;  // small templates: two factors round to one size
    last_width = width;
    if (std::min(width, height) < settings.min_side || width > image_width || height > image_height)
      continue;
    const long x0 = std::max(0L, guess.x - settings.margin);
    const long y0 = std::max(0L, guess.y - settings.margin);
    const long x1 = std::min(image_width, guess.x + settings.margin + width);
    const long y1 = std::min(image_height, guess.y + settings.margin + height);
    if (x1 - x0 < width || y1 - y0 < height) continue;
    const GreyImage templ = resized(cv2, crop, width, height);
    Spot spot;
    if (!best_spot(cv2, window(image, x0, y0, x1, y1), templ, settings.structure_weight, spot))
      continue;
    if (best_template.is_none() || spot.score > best.score) {
      best = spot;
      best.x += x0;
      best.y += y0;
      best_template = templ;
    }
  }
  if (best_template.is_none()) return py::none();
  return py::make_tuple(best.x, best.y, best.width, best.height, best_template);
}

}  // namespace verified_match
