#include "template_scan.h"

#include <cmath>
#include <stdexcept>
#include <vector>

namespace py = pybind11;

namespace verified_match {
namespace {

using Scores = py::array_t<float, py::array::c_style | py::array::forcecast>;
using Floats = py::array_t<float, py::array::c_style | py::array::forcecast>;

// A window flatter than this (grey-level variance) correlates with anything by chance.
constexpr double kMinWindowVariance = 1.0;
// Below this share of its variance left once its plane is gone, a window is a plain
// gradient, and its structure correlation is noise.
constexpr double kMinStructureShare = 1e-3;

Scores match(const py::module_& cv2, const py::handle& image, const py::handle& templ,
             const char* method) {
  auto scores = Scores::ensure(cv2.attr("matchTemplate")(image, templ, cv2.attr(method)));
  if (!scores) throw py::error_already_set();
  return scores;
}

void check_grey(const GreyImage& image, const char* what) {
  if (image.ndim() != 2)
    throw std::invalid_argument(std::string(what) + " must be a 2-d grey array");
}

// Summed-area tables of I, I squared, x I and y I: the window sums that the plane fit of
// every window needs, each in constant time.
class WindowSums {
 public:
  explicit WindowSums(const GreyImage& image)
      : width_(static_cast<long>(image.shape(1))), height_(static_cast<long>(image.shape(0))) {
    const auto v = image.unchecked<2>();
    const size_t size = static_cast<size_t>((width_ + 1) * (height_ + 1));
    for (auto* table : {&sum_, &squares_, &by_x_, &by_y_}) table->assign(size, 0.0);
    for (long y = 0; y < height_; ++y) {
      for (long x = 0; x < width_; ++x) {
        const double value = v(y, x);
        add(sum_, x, y, value);
        add(squares_, x, y, value * value);
        add(by_x_, x, y, x * value);
        add(by_y_, x, y, y * value);
      }
    }
  }

  struct Window {
    double sum, squares, by_x, by_y;
  };

  Window at(long x, long y, long width, long height) const {
    return {box(sum_, x, y, width, height), box(squares_, x, y, width, height),
            box(by_x_, x, y, width, height), box(by_y_, x, y, width, height)};
  }

 private:
  size_t index(long x, long y) const { return static_cast<size_t>(y * (width_ + 1) + x); }
  void add(std::vector<double>& table, long x, long y, double value) {
    table[index(x + 1, y + 1)] =
        value + table[index(x, y + 1)] + table[index(x + 1, y)] - table[index(x, y)];
  }
  double box(const std::vector<double>& table, long x, long y, long width, long height) const {
    return table[index(x + width, y + height)] - table[index(x, y + height)] -
           table[index(x + width, y)] + table[index(x, y)];
  }

  long width_, height_;
  std::vector<double> sum_, squares_, by_x_, by_y_;
};

// The template less its least-squares plane (as float32 for OpenCV), and that rest's norm.
std::pair<Floats, double> template_structure(const GreyImage& templ) {
  const auto v = templ.unchecked<2>();
  const long height = static_cast<long>(v.shape(0));
  const long width = static_cast<long>(v.shape(1));
  const double cx = (width - 1) / 2.0, cy = (height - 1) / 2.0;
  double sum = 0, sum_x = 0, sum_y = 0, xx = 0, yy = 0;
  for (long y = 0; y < height; ++y) {
    for (long x = 0; x < width; ++x) {
      sum += v(y, x);
      sum_x += (x - cx) * v(y, x);
      sum_y += (y - cy) * v(y, x);
      xx += (x - cx) * (x - cx);
      yy += (y - cy) * (y - cy);
    }
  }
  const double a = sum / (static_cast<double>(width) * height);
  const double b = xx > 0 ? sum_x / xx : 0, c = yy > 0 ? sum_y / yy : 0;
  Floats rest({height, width});
  auto out = rest.mutable_unchecked<2>();
  double energy = 0;
  for (long y = 0; y < height; ++y) {
    for (long x = 0; x < width; ++x) {
      const double value = v(y, x) - a - b * (x - cx) - c * (y - cy);
      out(y, x) = static_cast<float>(value);
      energy += value * value;
    }
  }
  return {rest, std::sqrt(energy)};
}

// What every template scanned over one image shares: the image as floats (for the structure
// correlation) and its window sums. Made once per image, not once per template.
struct ScanTarget {
  explicit ScanTarget(const GreyImage& grey)
      : image(grey), floats(grey.attr("astype")("float32")), sums(grey) {}
  GreyImage image;
  py::object floats;
  WindowSums sums;
};

bool best_spot_in(const py::module_& cv2, const ScanTarget& target, const GreyImage& templ,
                  double structure_weight, Spot& spot) {
  const GreyImage& image = target.image;
  check_grey(templ, "template");
  const long height = static_cast<long>(templ.shape(0));
  const long width = static_cast<long>(templ.shape(1));
  if (height < 1 || width < 1 || height > image.shape(0) || width > image.shape(1)) return false;
  const Scores correlation = match(cv2, image, templ, "TM_CCOEFF_NORMED");
  const auto [rest, rest_norm] = template_structure(templ);
  // The template's rest is orthogonal to a constant and to both ramps, so its plain
  // correlation with a window equals its correlation with the window's own rest.
  const Scores structure = match(cv2, target.floats, rest, "TM_CCORR");
  const WindowSums& sums = target.sums;
  const auto r = correlation.unchecked<2>();
  const auto s = structure.unchecked<2>();
  const double n = static_cast<double>(width) * static_cast<double>(height);
  const double cx = (width - 1) / 2.0, cy = (height - 1) / 2.0;
  const double xx = n * (static_cast<double>(width) * width - 1) / 12.0;
  const double yy = n * (static_cast<double>(height) * height - 1) / 12.0;
  bool found = false;
  // The spots are weighed without the interpreter lock: another thread's scan of another
  // picture goes on meanwhile (OpenCV's matching lets go of it too).
  py::gil_scoped_release unlocked;
  for (py::ssize_t y = 0; y < r.shape(0); ++y) {
    for (py::ssize_t x = 0; x < r.shape(1); ++x) {
      const WindowSums::Window w =
          sums.at(static_cast<long>(x), static_cast<long>(y), width, height);
      const double spread = w.squares - w.sum * w.sum / n;
      if (!(spread >= kMinWindowVariance * n)) continue;
      const double along_x = w.by_x - (x + cx) * w.sum;
      const double along_y = w.by_y - (y + cy) * w.sum;
      const double left =
          spread - (xx > 0 ? along_x * along_x / xx : 0) - (yy > 0 ? along_y * along_y / yy : 0);
      double structure_correlation = 0;
      if (rest_norm > 0 && left > kMinStructureShare * spread) {
        structure_correlation = static_cast<double>(s(y, x)) / (rest_norm * std::sqrt(left));
      }
      const double score = static_cast<double>(r(y, x)) + structure_weight * structure_correlation;
      // Strictly greater: on a tie the first spot in reading order stays.
      if (std::isfinite(score) && (!found || score > spot.score)) {
        spot = {score, static_cast<long>(x), static_cast<long>(y), width, height};
        found = true;
      }
    }
  }
  return found;
}

}  // namespace

bool best_spot(const py::module_& cv2, const GreyImage& image, const GreyImage& templ,
               double structure_weight, Spot& spot) {
  check_grey(image, "image");
  return best_spot_in(cv2, ScanTarget(image), templ, structure_weight, spot);
}

py::object scan_thumbnail(GreyImage image, const py::list& templates, double structure_weight) {
  const py::module_ cv2 = py::module_::import("cv2");
  check_grey(image, "image");
  const ScanTarget target(image);
  Spot best;
  bool found = false;
  for (const py::handle item : templates) {
    const auto templ = GreyImage::ensure(item);
    if (!templ) throw py::error_already_set();
    Spot spot;
    if (best_spot_in(cv2, target, templ, structure_weight, spot) &&
        (!found || spot.score > best.score)) {
      best = spot;
      found = true;
    }
  }
  if (!found) return py::none();
  return py::make_tuple(best.score, best.x, best.y, best.width, best.height);
}

}  // namespace verified_match
