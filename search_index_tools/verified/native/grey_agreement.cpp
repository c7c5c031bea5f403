#include "grey_agreement.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace py = pybind11;

namespace verified_match {
namespace {

// The values less their least-squares plane a + b x + c y. On a full grid with centred
// coordinates the three unknowns separate: a is the mean, b and c plain projections.
std::vector<double> without_plane(const GreyImage& image) {
  const auto v = image.unchecked<2>();
  const long height = static_cast<long>(v.shape(0));
  const long width = static_cast<long>(v.shape(1));
  const double cx = (width - 1) / 2.0;
  const double cy = (height - 1) / 2.0;
  double sum = 0, sum_x = 0, sum_y = 0, xx = 0, yy = 0;
  for (long y = 0; y < height; ++y) {
    for (long x = 0; x < width; ++x) {
      const double value = v(y, x);
      sum += value;
      sum_x += (x - cx) * value;
      sum_y += (y - cy) * value;
      xx += (x - cx) * (x - cx);
      yy += (y - cy) * (y - cy);
    }
  }
  const double a = sum / (static_cast<double>(width) * height);
  const double b = xx > 0 ? sum_x / xx : 0;
  const double c = yy > 0 ? sum_y / yy : 0;
  std::vector<double> rest;
  rest.reserve(static_cast<size_t>(width * height));
  for (long y = 0; y < height; ++y) {
    for (long x = 0; x < width; ++x) rest.push_back(v(y, x) - a - b * (x - cx) - c * (y - cy));
  }
  return rest;
}

// Sums over two equally long series of the products of their deviations from their means.
struct CentredSums {
  double mp = 0, mq = 0;  // the means
  double pq = 0, pp = 0, qq = 0;
};

CentredSums centred_sums(const std::vector<double>& p, const std::vector<double>& q) {
  const double n = static_cast<double>(p.size());
  CentredSums sums;
  for (size_t i = 0; i < p.size(); ++i) {
    sums.mp += p[i];
    sums.mq += q[i];
  }
  sums.mp /= n;
  sums.mq /= n;
  for (size_t i = 0; i < p.size(); ++i) {
    sums.pq += (p[i] - sums.mp) * (q[i] - sums.mq);
    sums.pp += (p[i] - sums.mp) * (p[i] - sums.mp);
    sums.qq += (q[i] - sums.mq) * (q[i] - sums.mq);
  }
  return sums;
}

// Correlation of two equally long series; 0 when either is constant.
double correlation(const std::vector<double>& p, const std::vector<double>& q) {
  const CentredSums s = centred_sums(p, q);
  return s.pp > 0 && s.qq > 0 ? s.pq / std::sqrt(s.pp * s.qq) : 0.0;
}

// Mean absolute difference of q from gain * p + offset, fitted by least squares. A gain of
// 0 or less is no change of brightness or contrast but an inverted or unrelated picture.
double fitted_difference(const std::vector<double>& p, const std::vector<double>& q) {
  const CentredSums s = centred_sums(p, q);
  const double n = static_cast<double>(p.size());
  const double mp = s.mp, mq = s.mq, pq = s.pq, pp = s.pp;
  const double gain = pp > 0 ? pq / pp : 1.0;
  if (!(gain > 0)) return std::numeric_limits<double>::infinity();
  double difference = 0;
  for (size_t i = 0; i < p.size(); ++i) difference += std::fabs(q[i] - mq - gain * (p[i] - mp));
  return difference / n;
}

std::vector<double> values(const GreyImage& image) {
  const auto v = image.unchecked<2>();
  std::vector<double> out;
  out.reserve(static_cast<size_t>(image.size()));
  for (py::ssize_t y = 0; y < v.shape(0); ++y) {
    for (py::ssize_t x = 0; x < v.shape(1); ++x) out.push_back(v(y, x));
  }
  return out;
}

}  // namespace

Agreement grey_agreement(const GreyImage& crop, const GreyImage& window) {
  if (crop.ndim() != 2 || window.ndim() != 2 || crop.shape(0) != window.shape(0) ||
      crop.shape(1) != window.shape(1) || crop.size() == 0) {
    throw std::invalid_argument("crop and window must be non-empty 2-d grey arrays of one shape");
  }
  const std::vector<double> p = values(crop);
  const std::vector<double> q = values(window);
  const double difference = fitted_difference(p, q);
  const std::vector<double> p_rest = without_plane(crop);
  const std::vector<double> q_rest = without_plane(window);
  double spread = 0;
  for (const double value : p_rest) spread += value * value;
  return {correlation(p, q), difference, std::sqrt(spread / static_cast<double>(p_rest.size())),
          correlation(p_rest, q_rest)};
}

}  // namespace verified_match
