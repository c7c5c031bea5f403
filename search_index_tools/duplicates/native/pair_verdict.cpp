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
Best best_of(const Tables& tables, LazyPrepared& first, Thumbnail second, Size size_first,
             Size size_second, const std::vector<int>& transforms, double enough) {
  Best best;
  for (int index : transforms) {
    if (!aspect_fits(tables, size_first, size_second, index)) continue;
    const Comparison comparison = compare(tables, first.get(), second, index);
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

// The transforms not proposed that the shapes allow, under which the second picture's coarse
// vectors (sharp or blurred) agree with the first's as a candidate would, most alike first (of
// equal scores, the higher transform first). Where the shapes allow no other transform, the
// coarse vectors are not needed.
std::vector<int> other_turns(const Tables& tables, PictureMemo& memo, long first, long second,
                             Size size_first, Size size_second, unsigned proposed) {
  std::vector<int> open;
  for (int index = 0; index < 8; ++index) {
    if (!(proposed & (1u << index)) && aspect_fits(tables, size_first, size_second, index)) {
      open.push_back(index);
    }
  }
  if (open.empty()) return open;
  const CoarseVectors& of_first = memo.coarse(first);
  const CoarseVectors& of_second = memo.coarse(second);
  const Settings& settings = tables.settings;
  std::vector<std::pair<double, int>> scores;
  for (int index : open) {
    Coarse sharp, blurred;
    turned(of_second.sharp.data(), kCoarse, index, sharp.data());
    turned(of_second.blurred.data(), kCoarse, index, blurred.data());
    const double score = std::max(
        dot(of_first.sharp, sharp),
        dot(of_first.blurred, blurred) - (settings.blurred_minimum - settings.coarse_minimum));
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

ScanCoarse::ScanCoarse(long count)
    : count_(count), coarse_(count), once_(std::make_unique<std::once_flag[]>(count)) {}

const CoarseVectors& ScanCoarse::of(const Tables& tables, long place, Thumbnail thumbnail) {
  std::call_once(once_[place], [&] {
    coarse_[place] = {sharp_coarse(tables, thumbnail), blurred_coarse(tables, thumbnail)};
  });
  return coarse_[place];
}

PictureMemo::PictureMemo(const Tables& tables, const std::uint8_t* thumbnails, long count,
                         ScanCoarse* scan, const long* places)
    : tables_(tables),
      thumbnails_(thumbnails),
      scan_(scan),
      places_(places),
      coarse_(scan ? 0 : count),
      known_(scan ? 0 : count, 0) {}

const CoarseVectors& PictureMemo::coarse(long picture) {
  if (scan_) return scan_->of(tables_, places_[picture], thumbnail(picture));
  if (!known_[picture]) {
    coarse_[picture] = {sharp_coarse(tables_, thumbnail(picture)),
                        blurred_coarse(tables_, thumbnail(picture))};
    known_[picture] = 1;
  }
  return coarse_[picture];
}

Verdict verify_structured(const Tables& tables, PictureMemo& memo, LazyPrepared& first,
                          long first_picture, long second_picture, Size size_first,
                          Size size_second, unsigned proposed, double threshold) {
  const Thumbnail second = memo.thumbnail(second_picture);
  Best best = best_of(tables, first, second, size_first, size_second, listed(proposed), 2.0);
  if (!best || best->second.similarity < threshold) {
    const std::vector<int> others =
        other_turns(tables, memo, first_picture, second_picture, size_first, size_second, proposed);
    const Best fallback =
        best_of(tables, first, second, size_first, size_second, others, threshold);
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
