#include "pair_verdict.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <optional>
#include <vector>

#include "coarse_vectors.h"
#include "turns.h"

namespace pair_compare {
namespace {

using Best = std::optional<std::pair<int, Comparison>>;

// The transform of `transforms` (that the shapes allow) under which the two compare best, and
// that comparison; it stops at the first that reaches `enough`.
Best best_of(const Tables& tables, const Prepared& first, Thumbnail second, Size size_first,
             Size size_second, const std::vector<int>& transforms, double enough) {
  Best best;
  for (int index : transforms) {
    if (!aspect_fits(tables, size_first, size_second, index)) continue;
    const Comparison comparison = compare(tables, first, second, index);
    if (!best || comparison.similarity > best->second.similarity) best.emplace(index, comparison);
    if (comparison.similarity >= enough) break;
  }
  return best;
}

double dot(const Coarse& x, const Coarse& y) {
  float total = 0.0f;
  for (int i = 0; i < kCoarseCells; ++i) total += x[i] * y[i];
  return total;
}

// The transforms not proposed under which the second picture's coarse vectors (sharp or
// blurred) agree with the first's as a candidate would, most alike first (of equal scores,
// the higher transform first).
std::vector<int> other_turns(const Tables& tables, Thumbnail first, Thumbnail second,
                             unsigned proposed) {
  const Coarse sharp_first = sharp_coarse(tables, first),
               sharp_second = sharp_coarse(tables, second);
  const Coarse blurred_first = blurred_coarse(tables, first);
  const Coarse blurred_second = blurred_coarse(tables, second);
  const Settings& settings = tables.settings;
  std::vector<std::pair<double, int>> scores;
  for (int index = 0; index < 8; ++index) {
    if (proposed & (1u << index)) continue;
    Coarse sharp, blurred;
    turned(sharp_second.data(), kCoarse, index, sharp.data());
    turned(blurred_second.data(), kCoarse, index, blurred.data());
    const double score =
        std::max(dot(sharp_first, sharp), dot(blurred_first, blurred) -
                                              (settings.blurred_minimum - settings.coarse_minimum));
    if (score >= settings.coarse_minimum) scores.emplace_back(score, index);
  }
  std::sort(scores.begin(), scores.end(), std::greater<>());
  std::vector<int> order;
  for (const auto& [score, index] : scores) order.push_back(index);
  return order;
}

std::vector<int> listed(unsigned transforms) {
  std::vector<int> out;
  for (int index = 0; index < 8; ++index) {
    if (transforms & (1u << index)) out.push_back(index);
  }
  return out;
}

}  // namespace

Verdict verify_structured(const Tables& tables, Thumbnail first, Thumbnail second, Size size_first,
                          Size size_second, unsigned proposed, double threshold) {
  const Prepared prepared = prepare(tables, first);
  Best best = best_of(tables, prepared, second, size_first, size_second, listed(proposed), 2.0);
  if (!best || best->second.similarity < threshold) {
    const Best fallback = best_of(tables, prepared, second, size_first, size_second,
                                  other_turns(tables, first, second, proposed), threshold);
    if (fallback && (!best || fallback->second.similarity > best->second.similarity)) {
      best = fallback;
    }
  }
  if (best && best->second.similarity >= threshold) {
    return {true, best->first, best->second.similarity, best->second.cropped};
  }
  return {false, 0, 0.0, false};
}

bool plain_alike(const Tables& tables, Thumbnail a, Thumbnail b, int index) {
  std::array<std::uint8_t, kThumbnailPixels> turned_b;
  turned(b, kThumbnail, index, turned_b.data());
  std::array<float, kFinePixels> small_a, small_b;
  halved(a, small_a.data());
  halved(turned_b.data(), small_b.data());
  // Sums of quarters of whole grey levels stay exact in single precision.
  float total = 0.0f;
  std::array<float, kBlocks> blocks{};
  for (int y = 0; y < kFine; ++y) {
    for (int x = 0; x < kFine; ++x) {
      const float difference = std::abs(small_a[y * kFine + x] - small_b[y * kFine + x]);
      total += difference;
      blocks[(y / kBlock) * kBlocksPerSide + x / kBlock] += difference;
    }
  }
  if (total / kFinePixels > tables.settings.plain_mean_difference) return false;
  const float worst = *std::max_element(blocks.begin(), blocks.end()) / (kBlock * kBlock);
  return worst <= tables.settings.plain_block_limit;
}

Verdict verify_plain(const Tables& tables, Thumbnail first, Thumbnail second, Size size_first,
                     Size size_second, unsigned proposed) {
  for (int index : listed(proposed)) {
    if (aspect_fits(tables, size_first, size_second, index) &&
        plain_alike(tables, first, second, index)) {
      return {true, index, 1.0, false};
    }
  }
  return {false, 0, 0.0, false};
}

}  // namespace pair_compare
