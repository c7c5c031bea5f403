// The correlation of two frames that tolerates a caption or watermark in a corner.
#pragma once

#include <array>

#include "frame_tables.h"

namespace pair_compare {

using Frame = std::array<double, kFinePixels>;

// A frame and what the correlation needs of it alone: its projection on the plane.
struct PlanedFrame {
  Frame values;
  double coefficients[3];  // planeᵀ values
  Frame residual;          // values less the plane
};

PlanedFrame planed(const Tables& tables, const Frame& values);

// Correlation of two kFine x kFine frames once each one's plane is taken away, over all
// blocks but the kDroppedBlocks that differ most; the planes are fitted again without those
// blocks, so a dark caption does not tilt them. When the left-out blocks hold most of both
// frames' structure, every block counts.
double robust_correlation(const Tables& tables, const PlanedFrame& a, const PlanedFrame& b);

}  // namespace pair_compare
