#include "frame_compare.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "area_resize.h"
#include "robust_correlation.h"
#include "turns.h"

namespace pair_compare {
namespace {

using Frame = std::array<double, kFinePixels>;
using Grid = std::array<std::uint8_t, kThumbnailPixels>;

struct Cuts {
  int top, bottom, left, right;
  bool any() const { return top || bottom || left || right; }
};

// The thumbnail halved on both sides: the means of 2 x 2 pixels (exact in any order).
void halved(Thumbnail thumbnail, double* out) {
  for (int y = 0; y < kFine; ++y) {
    for (int x = 0; x < kFine; ++x) {
      const std::uint8_t* top = thumbnail + (2 * y) * kThumbnail + 2 * x;
      const float sum = static_cast<float>(top[0]) + top[1] + top[kThumbnail] + top[kThumbnail + 1];
      out[y * kFine + x] = static_cast<double>(sum / 4.0f);
    }
  }
}

// The thumbnail less `cuts`, at kFine x kFine.
void window(Thumbnail thumbnail, const Cuts& cuts, double* out) {
  if (!cuts.any()) {
    halved(thumbnail, out);
    return;
  }
  const int height = kThumbnail - cuts.top - cuts.bottom;
  const int width = kThumbnail - cuts.left - cuts.right;
  std::array<float, kThumbnailPixels> values;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      values[y * width + x] = thumbnail[(y + cuts.top) * kThumbnail + x + cuts.left];
    }
  }
  std::array<float, kFinePixels> small;
  area_shrink(values.data(), height, width, width, kFine, small.data());
  for (int i = 0; i < kFinePixels; ++i) out[i] = small[i];
}

// The mean of every row (across = false) or column (across = true): exact sums of whole
// grey levels, divided once.
std::array<double, kThumbnail> profile(Thumbnail thumbnail, bool columns) {
  std::array<double, kThumbnail> means{};
  for (int y = 0; y < kThumbnail; ++y) {
    for (int x = 0; x < kThumbnail; ++x) means[columns ? x : y] += thumbnail[y * kThumbnail + x];
  }
  for (double& mean : means) mean /= kThumbnail;
  return means;
}

using Resampled = std::array<double, kFine>;

std::vector<Resampled> resampled(const Tables& tables, const std::array<double, kThumbnail>& p) {
  std::vector<Resampled> out(tables.resampling.size());
  for (size_t m = 0; m < tables.resampling.size(); ++m) {
    const double* matrix = tables.resampling[m].data();
    for (int row = 0; row < kFine; ++row) {
      double total = 0.0;
      for (int k = 0; k < kThumbnail; ++k) total += matrix[row * kThumbnail + k] * p[k];
      out[m][row] = total;
    }
  }
  return out;
}

double norm(const Resampled& v) {
  double total = 0.0;
  for (double value : v) total += value * value;
  return std::sqrt(total);
}

// The cuts (a near, a far, b near, b far) under which the two profiles agree best; the first
// of equally good ones.
std::array<int, 4> axis_cuts(const Tables& tables, const std::array<double, kThumbnail>& pa,
                             const std::array<double, kThumbnail>& pb) {
  const std::vector<Resampled> ma = resampled(tables, pa), mb = resampled(tables, pb);
  std::vector<double> norms_a(ma.size()), norms_b(mb.size());
  for (size_t m = 0; m < ma.size(); ++m) norms_a[m] = norm(ma[m]), norms_b[m] = norm(mb[m]);
  double best = -INFINITY;
  const AxisCut* chosen = &tables.cuts.front();
  for (const AxisCut& cut : tables.cuts) {
    const Resampled &x = ma[cut.matrix_a], &y = mb[cut.matrix_b];
    double product = 0.0;
    for (int i = 0; i < kFine; ++i) product += x[i] * y[i];
    const double score = product / std::max(norms_a[cut.matrix_a] * norms_b[cut.matrix_b], 1e-9);
    if (score > best) best = score, chosen = &cut;
  }
  return {chosen->near_a, chosen->far_a, chosen->near_b, chosen->far_b};
}

}  // namespace

double uncut_similarity(const Tables& tables, Thumbnail a, Thumbnail b, int index) {
  Grid turned_b;
  turned(b, kThumbnail, index, turned_b.data());
  Frame fa, fb;
  halved(a, fa.data());
  halved(turned_b.data(), fb.data());
  return robust_correlation(tables, fa.data(), fb.data());
}

Comparison compare(const Tables& tables, Thumbnail a, Thumbnail b, int index) {
  Grid turned_b;
  turned(b, kThumbnail, index, turned_b.data());
  Frame fa, fb;
  halved(a, fa.data());
  halved(turned_b.data(), fb.data());
  const double whole = robust_correlation(tables, fa.data(), fb.data());
  if (whole < tables.settings.uncut_minimum) return {whole, false};
  const auto rows = axis_cuts(tables, profile(a, false), profile(turned_b.data(), false));
  const auto columns = axis_cuts(tables, profile(a, true), profile(turned_b.data(), true));
  const Cuts cuts_a{rows[0], rows[1], columns[0], columns[1]};
  const Cuts cuts_b{rows[2], rows[3], columns[2], columns[3]};
  if (!cuts_a.any() && !cuts_b.any()) return {whole, false};
  window(a, cuts_a, fa.data());
  window(turned_b.data(), cuts_b, fb.data());
  const double cut = robust_correlation(tables, fa.data(), fb.data());
  if (cut > whole + tables.settings.crop_gain) return {cut, true};
  return {whole, false};
}

bool aspect_fits(const Tables& tables, Size a, Size b, int index) {
  const auto [width_b, height_b] = turns_sides(index) ? Size{b.second, b.first} : b;
  if (std::min(a.first, a.second) <= 0 || std::min(width_b, height_b) <= 0) return false;
  const double ratio = (static_cast<double>(a.first) / static_cast<double>(a.second)) /
                       (static_cast<double>(width_b) / static_cast<double>(height_b));
  const double limit = tables.settings.aspect_limit;
  return 1 / limit <= ratio && ratio <= limit;
}

std::pair<int, Comparison> best_transform(const Tables& tables, Thumbnail a, Thumbnail b, Size size_a,
                                          Size size_b) {
  std::vector<std::pair<double, int>> quick;
  for (int index = 0; index < 8; ++index) {
    if (aspect_fits(tables, size_a, size_b, index)) {
      quick.emplace_back(uncut_similarity(tables, a, b, index), index);
    }
  }
  if (quick.empty()) return {0, {0.0, false}};
  // Most alike first; of equal scores the higher transform first.
  std::sort(quick.begin(), quick.end(), std::greater<>());
  std::vector<std::pair<int, Comparison>> results;
  const size_t tried = std::min(quick.size(), static_cast<size_t>(tables.settings.tried));
  auto best = [&results] {
    return *std::max_element(results.begin(), results.end(), [](const auto& x, const auto& y) {
      return x.second.similarity < y.second.similarity;
    });
  };
  for (size_t i = 0; i < tried; ++i) {
    results.emplace_back(quick[i].second, compare(tables, a, b, quick[i].second));
  }
  if (best().second.similarity >= tables.settings.full_search_below) return best();
  // Fine texture cut by a crop tells little uncut: every transform is compared in full.
  for (size_t i = tried; i < quick.size(); ++i) {
    results.emplace_back(quick[i].second, compare(tables, a, b, quick[i].second));
  }
  return best();
}

}  // namespace pair_compare
