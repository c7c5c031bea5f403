#include "keypoint_spread.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <stdexcept>
#include <vector>

namespace py = pybind11;

namespace verified_match {
namespace {

// Whether response a ranks before response b: stronger first, NaN after every number (as
// sorting the negated responses in numpy orders them).
bool stronger(double a, double b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a > b;
}

// The grid cell of every point: row * columns + column, rows and columns counted by
// floor(coordinate / cell). The division is done in double, which gives the exact floor of a
// float coordinate over a whole cell size.
std::vector<int64_t> cells_of(const float* xy, size_t n, long columns, long cell) {
  std::vector<int64_t> cells(n);
  const double side = static_cast<double>(cell);
  for (size_t i = 0; i < n; ++i) {
    const auto column = static_cast<int64_t>(std::floor(static_cast<double>(xy[2 * i]) / side));
    const auto row = static_cast<int64_t>(std::floor(static_cast<double>(xy[2 * i + 1]) / side));
    cells[i] = row * columns + column;
  }
  return cells;
}

}  // namespace

py::array_t<int64_t> spread_positions(SpreadPoints points, Responses responses, long columns,
                                      long cell, long count) {
  if (points.ndim() != 2 || points.shape(1) != 2) {
    throw std::invalid_argument("points must be an (n, 2) array");
  }
  const auto n = static_cast<size_t>(points.shape(0));
  if (responses.ndim() != 1 || static_cast<size_t>(responses.shape(0)) != n) {
    throw std::invalid_argument("responses must hold one value per point");
  }
  if (cell < 1 || columns < 1) throw std::invalid_argument("cell and columns must be positive");
  if (count < 0) throw std::invalid_argument("count must not be negative");
  const float* xy = points.data();
  for (size_t i = 0; i < 2 * n; ++i) {
    if (!std::isfinite(xy[i])) throw std::invalid_argument("points must be finite");
  }
  const double* response = responses.data();
  std::vector<int64_t> kept;
  {
    py::gil_scoped_release unlocked;
    const std::vector<int64_t> cells = cells_of(xy, n, columns, cell);
    // Every cell's keypoints, strongest first; stable, so equal ones keep detection order.
    std::vector<int64_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int64_t a, int64_t b) {
      if (cells[a] != cells[b]) return cells[a] < cells[b];
      return stronger(response[a], response[b]);
    });
    // The round in which each keypoint of `order` is given: its place within its cell.
    std::vector<int64_t> round(n);
    for (size_t i = 0; i < n; ++i) {
      round[i] = (i > 0 && cells[order[i]] == cells[order[i - 1]]) ? round[i - 1] + 1 : 0;
    }
    // Rounds in turn, the stronger first within one; equal ones in the order above.
    std::vector<int64_t> turn(n);
    std::iota(turn.begin(), turn.end(), 0);
    std::stable_sort(turn.begin(), turn.end(), [&](int64_t a, int64_t b) {
      if (round[a] != round[b]) return round[a] < round[b];
      return stronger(response[order[a]], response[order[b]]);
    });
    const size_t taken = std::min(n, static_cast<size_t>(count));
    kept.resize(taken);
    for (size_t i = 0; i < taken; ++i) kept[i] = order[turn[i]];
    std::sort(kept.begin(), kept.end());
  }
  py::array_t<int64_t> result(static_cast<py::ssize_t>(kept.size()));
  std::copy(kept.begin(), kept.end(), result.mutable_data());
  return result;
}

}  // namespace verified_match
