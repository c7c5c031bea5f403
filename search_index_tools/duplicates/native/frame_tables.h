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
constexpr int kCoarse = 8;        // side of the coarse grid
constexpr int kCoarseMargin = 8;  // thumbnail pixels left out on every side of the coarse grid
constexpr int kFinePixels = kFine * kFine;
constexpr int kThumbnailPixels = kThumbnail * kThumbnail;
constexpr int kCoarseCells = kCoarse * kCoarse;

// The thresholds of the comparison (their meaning is documented in descriptor.py).
struct Settings {
  double kept_structure;
  double noise_energy;
  double block_tie;
  double crop_gain;
  double cut_tie;
  double flat_profile;
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

// A resampling of a kThumbnail profile to kFine values: the weights of each output value
// (linear interpolation: one or two input values each).
struct Weight {
  int source;
  double weight;
};
using Resampling = std::array<std::vector<Weight>, kFine>;

struct Tables {
  std::array<double, kFinePixels * 3> plane;  // orthonormal constant, x and y over the fine grid
  std::array<double, 9> plane_normal;         // planeᵀ plane, summed over every pixel
  // The distinct resamplings of the cuts (they share them, so each is applied to a profile
  // once per comparison), and the orthonormal basis of a line over kFine values, taken away
  // from every resampled profile.
  std::vector<Resampling> resampling;
  std::array<double, kFine * 2> line_basis;
  std::vector<AxisCut> cuts;
  // Whether a resampling serves the first frame of some cut, or the second: a profile is
  // resampled only by the matrices its side of the pair uses.
  std::vector<char> serves_a, serves_b;
  std::array<float, kCoarseCells * 3> coarse_plane;       // the same over the coarse grid
  std::array<float, kCoarse * kThumbnail> blurred_cells;  // blur, then coarse cell means
  Settings settings;
};

}  // namespace pair_compare
