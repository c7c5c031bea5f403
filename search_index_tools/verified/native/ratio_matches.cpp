#include "ratio_matches.h"

namespace verified_match {

std::vector<Correspondence> ratio_matches(const int32_t* distances, const int32_t* indices,
                                          long rows, double ratio, long picture_count) {
  // best[p]: position in `kept` of the correspondence that currently owns picture point p.
  std::vector<long> best(static_cast<size_t>(picture_count), -1);
  std::vector<Correspondence> kept;
  for (long row = 0; row < rows; ++row) {
    const int32_t nearest = indices[2 * row];
    const int32_t second = indices[2 * row + 1];
    if (nearest < 0 || nearest >= picture_count) continue;
    const int32_t distance = distances[2 * row];
    // Without a second neighbour there is nothing to tell the match apart from: the picture
    // has a single descriptor, far too few to verify anything, so the row is not kept.
    if (second < 0) continue;
    if (!(distance < ratio * distances[2 * row + 1])) continue;
    long& owner = best[static_cast<size_t>(nearest)];
    if (owner >= 0 && kept[static_cast<size_t>(owner)].distance <= distance) continue;
    owner = static_cast<long>(kept.size());
    kept.push_back({static_cast<int>(row), nearest, distance});
  }
  // A correspondence survives when no closer one took its picture point after it.
  std::vector<Correspondence> unique;
  unique.reserve(kept.size());
  for (size_t i = 0; i < kept.size(); ++i) {
    if (best[static_cast<size_t>(kept[i].picture_index)] == static_cast<long>(i)) {
      unique.push_back(kept[i]);
    }
  }
  return unique;
}

}  // namespace verified_match
