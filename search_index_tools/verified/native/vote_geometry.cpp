#include "vote_geometry.h"

#include <algorithm>
#include <complex>
#include <functional>
#include <numeric>
#include <queue>
#include <stdexcept>
#include <vector>

namespace py = pybind11;

namespace verified_match {
namespace {

using Complex = std::complex<double>;

// The best weight sum of the votes [first, last) under one transform fixed by two of them.
double best_layout(const std::vector<Complex>& crop, const std::vector<Complex>& picture,
                   const double* weights, long first, long last,
                   const VoteGeometrySettings& settings) {
  const long count = last - first;
  double heaviest = 0.0;
  double total = 0.0;
  for (long i = first; i < last; ++i) {
    heaviest = std::max(heaviest, weights[i]);
    total += weights[i];
  }
  if (count < 3) return heaviest;
  // Hypotheses come from pairs of the heaviest votes: a picture with hundreds of votes is one
  // that holds the crop, and its heaviest votes already fix the transform.
  std::vector<long> order(static_cast<size_t>(count));
  std::iota(order.begin(), order.end(), first);
  const long hypotheses = std::min(count, settings.max_hypotheses);
  if (hypotheses < count) {
    std::partial_sort(order.begin(), order.begin() + hypotheses, order.end(),
                      [weights](long a, long b) { return weights[a] > weights[b]; });
  }
  const double tolerance_squared = settings.tolerance * settings.tolerance;
  double best = heaviest;
  for (long a = 0; a < hypotheses; ++a) {
    const long i = order[static_cast<size_t>(a)];
    for (long b = a + 1; b < hypotheses; ++b) {
      const long j = order[static_cast<size_t>(b)];
      const Complex crop_step = crop[static_cast<size_t>(j)] - crop[static_cast<size_t>(i)];
      if (std::abs(crop_step) < settings.min_spread) continue;
      const Complex turn =
          (picture[static_cast<size_t>(j)] - picture[static_cast<size_t>(i)]) / crop_step;
      const double scale = std::abs(turn);
      if (scale < settings.min_scale || scale > settings.max_scale) continue;
      const Complex shift = picture[static_cast<size_t>(i)] - turn * crop[static_cast<size_t>(i)];
      double sum = 0.0;
      for (long k = first; k < last; ++k) {
        if (std::norm(turn * crop[static_cast<size_t>(k)] + shift -
                      picture[static_cast<size_t>(k)]) <= tolerance_squared) {
          sum += weights[k];
        }
      }
      best = std::max(best, sum);
      if (best >= total) return best;  // every vote agrees: no transform can do better
    }
  }
  return best;
}

}  // namespace

py::tuple consistent_votes(py::array_t<int64_t, py::array::c_style> pictures,
                           py::array_t<double, py::array::c_style> weights,
                           py::array_t<float, py::array::c_style> crop_points,
                           py::array_t<float, py::array::c_style> picture_points,
                           const VoteGeometrySettings& settings) {
  const long count = static_cast<long>(pictures.size());
  if (weights.ndim() != 1 || weights.shape(0) != count || crop_points.ndim() != 2 ||
      crop_points.shape(0) != count || crop_points.shape(1) != 2 || picture_points.ndim() != 2 ||
      picture_points.shape(0) != count || picture_points.shape(1) != 2) {
    throw std::invalid_argument(
        "weights must be (m,) and crop_points, picture_points (m, 2) for m votes");
  }
  const int64_t* numbers = pictures.data();
  const double* weight = weights.data();
  const float* crop_xy = crop_points.data();
  const float* picture_xy = picture_points.data();
  std::vector<Complex> crop(static_cast<size_t>(count));
  std::vector<Complex> picture(static_cast<size_t>(count));
  for (long i = 0; i < count; ++i) {
    crop[static_cast<size_t>(i)] = Complex(crop_xy[2 * i], crop_xy[2 * i + 1]);
    picture[static_cast<size_t>(i)] = Complex(picture_xy[2 * i], picture_xy[2 * i + 1]);
  }
  std::vector<int64_t> found;
  std::vector<double> scores;
  {
    py::gil_scoped_release release;
    // Every picture's votes [start, end) and their total weight, which bounds its score.
    std::vector<long> starts;
    std::vector<double> totals;
    for (long first = 0; first < count;) {
      long last = first;
      double total = 0.0;
      while (last < count && numbers[last] == numbers[first]) total += weight[last++];
      starts.push_back(first);
      totals.push_back(total);
      first = last;
    }
    starts.push_back(count);
    std::vector<long> order(totals.size());
    std::iota(order.begin(), order.end(), 0L);
    if (settings.best_of > 0) {
      std::stable_sort(order.begin(), order.end(),
                       [&totals](long a, long b) { return totals[a] > totals[b]; });
    }
    // The best_of highest scores so far; a picture whose total weight is below the lowest of
    // them cannot enter them, nor can any after it.
    std::priority_queue<double, std::vector<double>, std::greater<double>> best;
    for (const long group : order) {
      if (settings.best_of > 0 && static_cast<long>(best.size()) == settings.best_of &&
          totals[static_cast<size_t>(group)] < best.top()) {
        break;
      }
      const double score = best_layout(crop, picture, weight, starts[static_cast<size_t>(group)],
                                       starts[static_cast<size_t>(group) + 1], settings);
      found.push_back(numbers[starts[static_cast<size_t>(group)]]);
      scores.push_back(score);
      if (settings.best_of > 0) {
        best.push(score);
        if (static_cast<long>(best.size()) > settings.best_of) best.pop();
      }
    }
  }
  py::array_t<int64_t> found_array(static_cast<py::ssize_t>(found.size()));
  py::array_t<double> score_array(static_cast<py::ssize_t>(scores.size()));
  std::copy(found.begin(), found.end(), found_array.mutable_data());
  std::copy(scores.begin(), scores.end(), score_array.mutable_data());
  return py::make_tuple(found_array, score_array);
}

}  // namespace verified_match
