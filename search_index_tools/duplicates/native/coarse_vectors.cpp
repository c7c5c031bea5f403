#include "coarse_vectors.h"

#include <algorithm>
#include <cmath>

namespace pair_compare {
namespace {

// The grid less its plane, scaled to unit length.
Coarse normalised(const Tables& tables, Coarse grid) {
  const float* plane = tables.coarse_plane.data();
  float coefficients[3];
  for (int k = 0; k < 3; ++k) {
    double total = 0.0;
    for (int i = 0; i < kCoarseCells; ++i) total += static_cast<double>(grid[i]) * plane[i * 3 + k];
    coefficients[k] = static_cast<float>(total);
  }
  double squares = 0.0;
  for (int i = 0; i < kCoarseCells; ++i) {
    double fitted = 0.0;
    for (int k = 0; k < 3; ++k) fitted += static_cast<double>(coefficients[k]) * plane[i * 3 + k];
    grid[i] -= static_cast<float>(fitted);
    squares += static_cast<double>(grid[i]) * grid[i];
  }
  const float length = std::max(static_cast<float>(std::sqrt(squares)), 1e-6f);
  for (float& value : grid) value /= length;
  return grid;
}

}  // namespace

Coarse sharp_coarse(const Tables& tables, Thumbnail thumbnail) {
  constexpr int step = (kThumbnail - 2 * kCoarseMargin) / kCoarse;
  Coarse grid{};
  for (int cy = 0; cy < kCoarse; ++cy) {
    for (int cx = 0; cx < kCoarse; ++cx) {
      float sum = 0.0f;  // whole grey levels: exact in any order
      for (int y = 0; y < step; ++y) {
        const std::uint8_t* row =
            thumbnail + (kCoarseMargin + cy * step + y) * kThumbnail + kCoarseMargin + cx * step;
        for (int x = 0; x < step; ++x) sum += row[x];
      }
      grid[cy * kCoarse + cx] = sum / static_cast<float>(step * step);
    }
  }
  return normalised(tables, grid);
}

Coarse blurred_coarse(const Tables& tables, Thumbnail thumbnail) {
  const float* cells = tables.blurred_cells.data();
  // cells · thumbnail · cellsᵀ, the rows first. Each row's kCoarse sums are run side by side
  // (each still adds its terms from the first pixel to the last, so the sums are the same to
  // the bit), from the cells laid out by pixel.
  std::array<double, kThumbnail * kCoarse> by_pixel;
  for (int c = 0; c < kCoarse; ++c) {
    for (int x = 0; x < kThumbnail; ++x) by_pixel[x * kCoarse + c] = cells[c * kThumbnail + x];
  }
  std::array<double, kCoarse * kThumbnail> across;
  for (int y = 0; y < kThumbnail; ++y) {
    double totals[kCoarse] = {};
    for (int x = 0; x < kThumbnail; ++x) {
      const double value = thumbnail[y * kThumbnail + x];
      const double* weights = by_pixel.data() + x * kCoarse;
      for (int c = 0; c < kCoarse; ++c) totals[c] += value * weights[c];
    }
    for (int c = 0; c < kCoarse; ++c) across[c * kThumbnail + y] = totals[c];
  }
  Coarse grid{};
  for (int r = 0; r < kCoarse; ++r) {
    for (int c = 0; c < kCoarse; ++c) {
      double total = 0.0;
      for (int y = 0; y < kThumbnail; ++y)
        total += cells[r * kThumbnail + y] * across[c * kThumbnail + y];
      grid[r * kCoarse + c] = static_cast<float>(total);
    }
  }
  return normalised(tables, grid);
}

}  // namespace pair_compare
