#include "frame_compare.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>

#include "area_resize.h"
#include "turns.h"

namespace pair_compare {
namespace {

using Grid = std::array<std::uint8_t, kThumbnailPixels>;

struct Cuts {
  int top, bottom, left, right;
  bool any() const { return top || bottom || left || right; }
};

Frame uncut(Thumbnail thumbnail) {
  std::array<float, kFinePixels> small;
  halved(thumbnail, small.data());
  Frame out;
  for (int i = 0; i < kFinePixels; ++i) out[i] = small[i];
  return out;
}

// The thumbnail less `cuts`, at kFine x kFine.
Frame window(Thumbnail thumbnail, const Cuts& cuts) {
  if (!cuts.any()) return uncut(thumbnail);
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
  Frame out;
  for (int i = 0; i < kFinePixels; ++i) out[i] = small[i];
  return out;
}

// The mean of every row, or of every column: exact sums of whole grey levels, divided once.
std::array<double, kThumbnail> profile(Thumbnail thumbnail, bool columns) {
  std::array<double, kThumbnail> means{};
  for (int y = 0; y < kThumbnail; ++y) {
    for (int x = 0; x < kThumbnail; ++x) means[columns ? x : y] += thumbnail[y * kThumbnail + x];
  }
  for (double& mean : means) mean /= kThumbnail;
  return means;
}

// The profile resampled by the matrices `serves` marks (the others are not written: the
// cuts never read them for this side).
void resample_into(const Tables& tables, const std::array<double, kThumbnail>& profile,
                   const std::vector<char>& serves, Resampled& out) {
  // Sized once: a scratch profile of the second picture is filled again for every comparison.
  out.values.resize(tables.resampling.size());
  out.norms.resize(tables.resampling.size());
  const double* basis = tables.line_basis.data();
  for (size_t m = 0; m < tables.resampling.size(); ++m) {
    if (!serves[m]) continue;
    std::array<double, kFine>& v = out.values[m];
    double constant = 0.0, slope = 0.0;
    for (int row = 0; row < kFine; ++row) {
      double total = 0.0;
      for (const Weight& w : tables.resampling[m][row]) total += w.weight * profile[w.source];
      v[row] = total;
      constant += basis[row * 2] * total;
      slope += basis[row * 2 + 1] * total;
    }
    double squares = 0.0;
    for (int row = 0; row < kFine; ++row) {
      v[row] -= basis[row * 2] * constant + basis[row * 2 + 1] * slope;
      squares += v[row] * v[row];
    }
    out.norms[m] = std::sqrt(squares);
  }
}

Resampled resampled(const Tables& tables, const std::array<double, kThumbnail>& profile,
                    const std::vector<char>& serves) {
  Resampled out;
  resample_into(tables, profile, serves, out);
  return out;
}

// The cuts (a near, a far, b near, b far) under which the two profiles agree best. Of cuts
// that fit equally well (within the tie), the first, so the least cut: scores that differ by
// rounding alone do not choose.
std::array<int, 4> axis_cuts(const Tables& tables, const Resampled& a, const Resampled& b) {
  // Kept from call to call on each thread: a comparison scores every cut on both axes.
  thread_local std::vector<double> scores;
  scores.resize(tables.cuts.size());
  double best = -INFINITY;
  for (size_t c = 0; c < tables.cuts.size(); ++c) {
    const AxisCut& cut = tables.cuts[c];
    const auto &x = a.values[cut.matrix_a], &y = b.values[cut.matrix_b];
    double product = 0.0;
    for (int i = 0; i < kFine; ++i) product += x[i] * y[i];
    // A profile that is a line (stripes across, the same down every column) leaves rounding
    // alone once its line is taken away: it agrees with nothing, under every cut alike.
    const double norm_a = a.norms[cut.matrix_a], norm_b = b.norms[cut.matrix_b];
    const double flat = tables.settings.flat_profile;
    scores[c] = norm_a <= flat || norm_b <= flat ? 0.0 : product / std::max(norm_a * norm_b, 1e-9);
    best = std::max(best, scores[c]);
  }
  size_t chosen = 0;
  while (scores[chosen] < best - tables.settings.cut_tie) ++chosen;
  const AxisCut& cut = tables.cuts[chosen];
  return {cut.near_a, cut.far_a, cut.near_b, cut.far_b};
}

double uncut_similarity(const Tables& tables, const Prepared& a, Thumbnail b, int index) {
  Grid turned_b;
  turned(b, kThumbnail, index, turned_b.data());
  return robust_correlation(tables, a.whole, planed(tables, uncut(turned_b.data())));
}

}  // namespace

void halved(Thumbnail thumbnail, float* out) {
  for (int y = 0; y < kFine; ++y) {
    for (int x = 0; x < kFine; ++x) {
      const std::uint8_t* top = thumbnail + (2 * y) * kThumbnail + 2 * x;
      out[y * kFine + x] =
          (static_cast<float>(top[0]) + top[1] + top[kThumbnail] + top[kThumbnail + 1]) / 4.0f;
    }
  }
}

Prepared prepare(const Tables& tables, Thumbnail thumbnail) {
  return {thumbnail, planed(tables, uncut(thumbnail)),
          resampled(tables, profile(thumbnail, false), tables.serves_a),
          resampled(tables, profile(thumbnail, true), tables.serves_a)};
}

Comparison compare(const Tables& tables, const Prepared& a, Thumbnail b, int index) {
  Grid turned_b;
  turned(b, kThumbnail, index, turned_b.data());
  const double whole = robust_correlation(tables, a.whole, planed(tables, uncut(turned_b.data())));
  if (whole < tables.settings.uncut_minimum) return {whole, false};
  // The second picture's profiles are resampled into buffers each thread keeps.
  thread_local Resampled rows_b, columns_b;
  resample_into(tables, profile(turned_b.data(), false), tables.serves_b, rows_b);
  resample_into(tables, profile(turned_b.data(), true), tables.serves_b, columns_b);
  const auto rows = axis_cuts(tables, a.rows, rows_b);
  const auto columns = axis_cuts(tables, a.columns, columns_b);
  const Cuts cuts_a{rows[0], rows[1], columns[0], columns[1]};
  const Cuts cuts_b{rows[2], rows[3], columns[2], columns[3]};
  if (!cuts_a.any() && !cuts_b.any()) return {whole, false};
  const double cut = robust_correlation(tables, planed(tables, window(a.thumbnail, cuts_a)),
                                        planed(tables, window(turned_b.data(), cuts_b)));
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

std::pair<int, Comparison> best_transform(const Tables& tables, Thumbnail a, Thumbnail b,
                                          Size size_a, Size size_b) {
  const Prepared first = prepare(tables, a);
  std::vector<std::pair<double, int>> quick;
  for (int index = 0; index < 8; ++index) {
    if (aspect_fits(tables, size_a, size_b, index)) {
      quick.emplace_back(uncut_similarity(tables, first, b, index), index);
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
    results.emplace_back(quick[i].second, compare(tables, first, b, quick[i].second));
  }
  if (best().second.similarity >= tables.settings.full_search_below) return best();
  // Fine texture cut by a crop tells little uncut: every transform is compared in full.
  for (size_t i = tried; i < quick.size(); ++i) {
    results.emplace_back(quick[i].second, compare(tables, first, b, quick[i].second));
  }
  return best();
}

}  // namespace pair_compare
