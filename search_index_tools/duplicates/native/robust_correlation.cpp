#include "robust_correlation.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace pair_compare {
namespace {

using Frame = std::array<double, kFinePixels>;

double dot(const double* x, const double* y, int n) {
  double total = 0.0;
  for (int i = 0; i < n; ++i) total += x[i] * y[i];
  return total;
}

// values less their projection on the plane's orthonormal basis.
void without_plane(const Tables& tables, const double* values, double* out) {
  const double* plane = tables.plane.data();
  double coefficients[3] = {0.0, 0.0, 0.0};
  for (int i = 0; i < kFinePixels; ++i) {
    for (int k = 0; k < 3; ++k) coefficients[k] += plane[i * 3 + k] * values[i];
  }
  for (int i = 0; i < kFinePixels; ++i) {
    const double* row = plane + i * 3;
    out[i] = values[i] - (row[0] * coefficients[0] + row[1] * coefficients[1] +
                          row[2] * coefficients[2]);
  }
}

// Solves the 3 x 3 system m x = v by elimination with partial pivoting (m is overwritten).
void solve3(double m[3][3], double v[3], double x[3]) {
  for (int column = 0; column < 3; ++column) {
    int pivot = column;
    for (int row = column + 1; row < 3; ++row) {
      if (std::abs(m[row][column]) > std::abs(m[pivot][column])) pivot = row;
    }
    std::swap(m[column], m[pivot]);
    std::swap(v[column], v[pivot]);
    for (int row = column + 1; row < 3; ++row) {
      const double factor = m[row][column] / m[column][column];
      for (int k = column; k < 3; ++k) m[row][k] -= factor * m[column][k];
      v[row] -= factor * v[column];
    }
  }
  for (int row = 2; row >= 0; --row) {
    double rest = v[row];
    for (int k = row + 1; k < 3; ++k) rest -= m[row][k] * x[k];
    x[row] = rest / m[row][row];
  }
}

// The kept values (in order) less the plane fitted to them alone.
int kept_without_plane(const Tables& tables, const double* values, const bool* keep, double* out) {
  const double* plane = tables.plane.data();
  double normal[3][3] = {}, right[3] = {};
  for (int i = 0; i < kFinePixels; ++i) {
    if (!keep[i]) continue;
    const double* row = plane + i * 3;
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) normal[r][c] += row[r] * row[c];
      right[r] += row[r] * values[i];
    }
  }
  double coefficients[3];
  solve3(normal, right, coefficients);
  int count = 0;
  for (int i = 0; i < kFinePixels; ++i) {
    if (!keep[i]) continue;
    const double* row = plane + i * 3;
    out[count++] = values[i] - (row[0] * coefficients[0] + row[1] * coefficients[1] +
                                row[2] * coefficients[2]);
  }
  return count;
}

double spread(const double* values, int n) {
  double mean = 0.0;
  for (int i = 0; i < n; ++i) mean += values[i];
  mean /= n;
  double squares = 0.0;
  for (int i = 0; i < n; ++i) squares += (values[i] - mean) * (values[i] - mean);
  return std::sqrt(squares / n);
}

double correlation(const double* x, const double* y, int n) {
  const double denominator = std::sqrt(dot(x, x, n) * dot(y, y, n));
  return denominator > 0 ? dot(x, y, n) / denominator : 0.0;
}

// Marks the pixels outside the kDroppedBlocks blocks where the two normalised frames differ
// most.
void kept_pixels(const double* ra, const double* rb, bool* keep) {
  const double spread_a = std::max(spread(ra, kFinePixels), 1e-6);
  const double spread_b = std::max(spread(rb, kFinePixels), 1e-6);
  std::array<double, kBlocks> errors{};
  for (int y = 0; y < kFine; ++y) {
    for (int x = 0; x < kFine; ++x) {
      const int i = y * kFine + x;
      const double difference = ra[i] / spread_a - rb[i] / spread_b;
      errors[(y / kBlock) * kBlocksPerSide + x / kBlock] += difference * difference;
    }
  }
  std::array<int, kBlocks> order{};
  for (int i = 0; i < kBlocks; ++i) order[i] = i;
  std::partial_sort(order.begin(), order.begin() + kDroppedBlocks, order.end(),
                    [&](int p, int q) { return errors[p] > errors[q]; });
  std::array<bool, kBlocks> dropped{};
  for (int i = 0; i < kDroppedBlocks; ++i) dropped[order[i]] = true;
  for (int y = 0; y < kFine; ++y) {
    for (int x = 0; x < kFine; ++x) {
      keep[y * kFine + x] = !dropped[(y / kBlock) * kBlocksPerSide + x / kBlock];
    }
  }
}

}  // namespace

double robust_correlation(const Tables& tables, const double* a, const double* b) {
  Frame ra, rb, ka, kb;
  without_plane(tables, a, ra.data());
  without_plane(tables, b, rb.data());
  std::array<bool, kFinePixels> keep{};
  kept_pixels(ra.data(), rb.data(), keep.data());
  const int kept = kept_without_plane(tables, a, keep.data(), ka.data());
  kept_without_plane(tables, b, keep.data(), kb.data());
  // Leaving blocks out is for a corner an edit covered, which holds much of the edited copy's
  // structure but little of the other's. When those blocks hold most of both frames'
  // structure (small subjects on plain grounds), what is left says nothing.
  const double kept_a = dot(ka.data(), ka.data(), kept) /
                        std::max(dot(ra.data(), ra.data(), kFinePixels), 1e-9);
  const double kept_b = dot(kb.data(), kb.data(), kept) /
                        std::max(dot(rb.data(), rb.data(), kFinePixels), 1e-9);
  if (std::max(kept_a, kept_b) < tables.settings.kept_structure) {
    return correlation(ra.data(), rb.data(), kFinePixels);
  }
  return correlation(ka.data(), kb.data(), kept);
}

}  // namespace pair_compare
