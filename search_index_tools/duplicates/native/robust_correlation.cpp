#include "robust_correlation.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace pair_compare {
namespace {

double dot(const double* x, const double* y, int n) {
  double total = 0.0;
  for (int i = 0; i < n; ++i) total += x[i] * y[i];
  return total;
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

double spread(const double* values, int n) {
  double mean = 0.0;
  for (int i = 0; i < n; ++i) mean += values[i];
  mean /= n;
  double squares = 0.0;
  for (int i = 0; i < n; ++i) squares += (values[i] - mean) * (values[i] - mean);
  return std::sqrt(squares / n);
}

// Nothing but rounding left in either (a flat region less its plane): no structure to agree on.
double correlation(const Tables& tables, const double* x, const double* y, int n) {
  const double energy_x = dot(x, x, n), energy_y = dot(y, y, n);
  const double noise = tables.settings.noise_energy;
  if (energy_x <= noise || energy_y <= noise) return 0.0;
  return dot(x, y, n) / std::sqrt(energy_x * energy_y);
}

// The kDroppedBlocks blocks (block row, block column) where the two normalised frames differ
// most.
std::array<std::array<int, 2>, kDroppedBlocks> worst_blocks(const Tables& tables, const Frame& ra,
                                                            const Frame& rb) {
  const double spread_a = std::max(spread(ra.data(), kFinePixels), 1e-6);
  const double spread_b = std::max(spread(rb.data(), kFinePixels), 1e-6);
  std::array<double, kBlocks> errors{};
  for (int y = 0; y < kFine; ++y) {
    for (int x = 0; x < kFine; ++x) {
      const int i = y * kFine + x;
      const double difference = ra[i] / spread_a - rb[i] / spread_b;
      errors[(y / kBlock) * kBlocksPerSide + x / kBlock] += difference * difference;
    }
  }
  // Of blocks that differ equally (up to rounding: stripes, or a picture against its own
  // turn), the first, so that the order of sums does not choose.
  const double tie = tables.settings.block_tie * *std::max_element(errors.begin(), errors.end());
  std::array<int, kDroppedBlocks> chosen{};
  for (int k = 0; k < kDroppedBlocks; ++k) {
    const double most = *std::max_element(errors.begin(), errors.end());
    int index = 0;
    while (errors[index] < most - tie) ++index;
    chosen[k] = index;
    errors[index] = -INFINITY;
  }
  std::array<std::array<int, 2>, kDroppedBlocks> worst;
  for (int i = 0; i < kDroppedBlocks; ++i)
    worst[i] = {chosen[i] / kBlocksPerSide, chosen[i] % kBlocksPerSide};
  return worst;
}

// The frame's values outside the dropped blocks (in order) less the plane fitted to them
// alone. The fit's sums over the kept pixels are the sums over all pixels less those over
// the dropped blocks.
int kept_without_plane(const Tables& tables, const PlanedFrame& frame,
                       const std::array<std::array<int, 2>, kDroppedBlocks>& dropped, double* out) {
  const double* plane = tables.plane.data();
  double normal[3][3], right[3];
  for (int r = 0; r < 3; ++r) {
    right[r] = frame.coefficients[r];
    for (int c = 0; c < 3; ++c) normal[r][c] = tables.plane_normal[r * 3 + c];
  }
  for (const auto& [block_y, block_x] : dropped) {
    for (int y = block_y * kBlock; y < (block_y + 1) * kBlock; ++y) {
      for (int x = block_x * kBlock; x < (block_x + 1) * kBlock; ++x) {
        const int i = y * kFine + x;
        const double* row = plane + i * 3;
        for (int r = 0; r < 3; ++r) {
          for (int c = 0; c < 3; ++c) normal[r][c] -= row[r] * row[c];
          right[r] -= row[r] * frame.values[i];
        }
      }
    }
  }
  double coefficients[3];
  solve3(normal, right, coefficients);
  int count = 0;
  for (int y = 0; y < kFine; ++y) {
    for (int x = 0; x < kFine; ++x) {
      bool is_dropped = false;
      for (const auto& [block_y, block_x] : dropped) {
        is_dropped |= y / kBlock == block_y && x / kBlock == block_x;
      }
      if (is_dropped) continue;
      const int i = y * kFine + x;
      const double* row = plane + i * 3;
      out[count++] = frame.values[i] - (row[0] * coefficients[0] + row[1] * coefficients[1] +
                                        row[2] * coefficients[2]);
    }
  }
  return count;
}

}  // namespace

PlanedFrame planed(const Tables& tables, const Frame& values) {
  PlanedFrame frame;
  frame.values = values;
  const double* plane = tables.plane.data();
  double c0 = 0.0, c1 = 0.0, c2 = 0.0;
  for (int i = 0; i < kFinePixels; ++i) {
    c0 += plane[i * 3] * values[i];
    c1 += plane[i * 3 + 1] * values[i];
    c2 += plane[i * 3 + 2] * values[i];
  }
  frame.coefficients[0] = c0, frame.coefficients[1] = c1, frame.coefficients[2] = c2;
  for (int i = 0; i < kFinePixels; ++i) {
    const double* row = plane + i * 3;
    frame.residual[i] = values[i] - (row[0] * c0 + row[1] * c1 + row[2] * c2);
  }
  return frame;
}

double robust_correlation(const Tables& tables, const PlanedFrame& a, const PlanedFrame& b) {
  const auto dropped = worst_blocks(tables, a.residual, b.residual);
  Frame ka, kb;
  const int kept = kept_without_plane(tables, a, dropped, ka.data());
  kept_without_plane(tables, b, dropped, kb.data());
  // Leaving blocks out is for a corner an edit covered, which holds much of the edited copy's
  // structure but little of the other's. When those blocks hold most of both frames'
  // structure (small subjects on plain grounds), what is left says nothing.
  const double* ra = a.residual.data();
  const double* rb = b.residual.data();
  const double kept_a = dot(ka.data(), ka.data(), kept) / std::max(dot(ra, ra, kFinePixels), 1e-9);
  const double kept_b = dot(kb.data(), kb.data(), kept) / std::max(dot(rb, rb, kFinePixels), 1e-9);
  if (std::max(kept_a, kept_b) < tables.settings.kept_structure) {
    return correlation(tables, ra, rb, kFinePixels);
  }
  return correlation(tables, ka.data(), kb.data(), kept);
}

}  // namespace pair_compare
