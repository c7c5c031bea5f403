// The fixed tables and settings of the duplicate finder's pair comparison. They are made once
// by the Python side (descriptor.py) and handed over, so both roads work from the very same
// numbers.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace pair_compare {

constexpr int kThumbnail = 64;  // side of a stored grey thumbnail
constexpr int kFine = 32;       // side of the frames compared
constexpr int kBlock = 8;       // side of the blocks the robust correlation may leave out
constexpr int kBlocksPerSide = kFine / kBlock;
constexpr int kBlocks = kBlocksPerSide * kBlocksPerSide;
constexpr int kDroppedBlocks = 2;
constexpr int kCoarse = 8;       // side of the coarse grid
constexpr int kCoarseMargin = 8;  // thumbnail pixels left out on every side of the coarse grid
constexpr int kFinePixels = kFine * kFine;
constexpr int kThumbnailPixels = kThumbnail * kThumbnail;
constexpr int kCoarseCells = kCoarse * kCoarse;

// The thresholds of the comparison (their meaning is documented in descriptor.py).
struct Settings {
  double kept_structure;
  double crop_gain;
  double uncut_minimum;
  double full_search_below;
  double aspect_limit;
  double plain_mean_difference;
  double plain_block_limit;
  double coarse_minimum;
  double blurred_minimum;
  int tried;  // transforms compared in full first when looking for the best one
};

// One way of cutting both frames on one axis: near and far cuts of each, in thumbnail pixels,
// and which of the distinct resampling matrices serves each frame.
struct AxisCut {
  int near_a, far_a, near_b, far_b;
  int matrix_a, matrix_b;
};

struct Tables {
  std::array<double, kFinePixels * 3> plane;  // orthonormal constant, x and y over the fine grid
  // Distinct resampling-and-centring matrices (kFine x kThumbnail each, row-major): the cuts
  // share them, so each is applied to a profile once per comparison.
  std::vector<std::vector<double>> resampling;
  std::vector<AxisCut> cuts;
  std::array<float, kCoarseCells * 3> coarse_plane;            // the same over the coarse grid
  std::array<float, kCoarse * kThumbnail> blurred_cells;  // blur, then coarse cell means
  Settings settings;
};

}  // namespace pair_compare
