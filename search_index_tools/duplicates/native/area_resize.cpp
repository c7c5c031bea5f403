#include "area_resize.h"

#include "frame_tables.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace pair_compare {
namespace {

struct Share {
  int target;    // output index
  int source;    // input index
  float weight;  // share of the input cell in the output cell
};

// The shares of input cells in each output cell along one axis: whole cells inside an output
// cell, and the covered parts of the cells at its two ends (ignored below a thousandth).
std::vector<Share> shares(int in_size, int out_size) {
  const double scale = 1.0 / (static_cast<double>(out_size) / in_size);
  std::vector<Share> table;
  for (int target = 0; target < out_size; ++target) {
    const double start = target * scale;
    const double end = start + scale;
    const double cell = std::min(scale, in_size - start);
    int first = static_cast<int>(std::ceil(start));
    int last = static_cast<int>(std::floor(end));
    last = std::min(last, in_size - 1);
    first = std::min(first, last);
    if (first - start > 1e-3) {
      table.push_back({target, first - 1, static_cast<float>((first - start) / cell)});
    }
    for (int source = first; source < last; ++source) {
      table.push_back({target, source, static_cast<float>(1.0 / cell)});
    }
    if (end - last > 1e-3) {
      table.push_back(
          {target, last, static_cast<float>(std::min(std::min(end - last, 1.0), cell) / cell)});
    }
  }
  return table;
}

// The shares of every input size a frame of kFine is shrunk from (above kFine, up to the
// thumbnail's side), made once: a comparison shrinks two cut frames, and the tables of an
// input size never change.
const std::vector<Share>& shares_to_fine(int in_size) {
  static const std::array<std::vector<Share>, kThumbnail + 1> tables = [] {
    std::array<std::vector<Share>, kThumbnail + 1> made;
    for (int size = kFine + 1; size <= kThumbnail; ++size) made[size] = shares(size, kFine);
    return made;
  }();
  return tables[in_size];
}

}  // namespace

void area_shrink(const float* in, int height, int width, int stride, int out_side, float* out) {
  const bool to_fine = out_side == kFine && width > kFine && width <= kThumbnail &&
                       height > kFine && height <= kThumbnail;
  std::vector<Share> own_across, own_down;
  if (!to_fine) own_across = shares(width, out_side), own_down = shares(height, out_side);
  const std::vector<Share>& across = to_fine ? shares_to_fine(width) : own_across;
  const std::vector<Share>& down = to_fine ? shares_to_fine(height) : own_down;
  std::array<float, kFine> fine_row, fine_sum;
  std::vector<float> own_row, own_sum;
  if (!to_fine) own_row.resize(out_side), own_sum.resize(out_side);
  float* row = to_fine ? fine_row.data() : own_row.data();
  float* sum = to_fine ? fine_sum.data() : own_sum.data();
  std::fill(sum, sum + out_side, 0.0f);
  int current = down.front().target;
  int shrunk = -1;  // the input row `row` holds, shrunk across
  // Each input row is first shrunk across, then added into its output row with its share;
  // an output row is written when the rows feeding it are done. A row split between two
  // output rows comes twice in a row, and is shrunk once.
  for (const Share& step : down) {
    if (step.source != shrunk) {
      const float* source = in + static_cast<long>(step.source) * stride;
      std::fill(row, row + out_side, 0.0f);
      for (const Share& part : across) row[part.target] += source[part.source] * part.weight;
      shrunk = step.source;
    }
    if (step.target != current) {
      for (int x = 0; x < out_side; ++x) {
        out[current * out_side + x] = sum[x];
        sum[x] = step.weight * row[x];
      }
      current = step.target;
    } else {
      for (int x = 0; x < out_side; ++x) sum[x] += step.weight * row[x];
    }
  }
  for (int x = 0; x < out_side; ++x) out[current * out_side + x] = sum[x];
}

}  // namespace pair_compare
