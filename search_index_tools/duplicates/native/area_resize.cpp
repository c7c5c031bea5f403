#include "area_resize.h"

#include <algorithm>
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

}  // namespace

void area_shrink(const float* in, int height, int width, int stride, int out_side, float* out) {
  const std::vector<Share> across = shares(width, out_side);
  const std::vector<Share> down = shares(height, out_side);
  std::vector<float> row(out_side), sum(out_side, 0.0f);
  int current = down.front().target;
  // Each input row is first shrunk across, then added into its output row with its share;
  // an output row is written when the rows feeding it are done.
  for (const Share& step : down) {
    const float* source = in + static_cast<long>(step.source) * stride;
    std::fill(row.begin(), row.end(), 0.0f);
    for (const Share& part : across) row[part.target] += source[part.source] * part.weight;
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
