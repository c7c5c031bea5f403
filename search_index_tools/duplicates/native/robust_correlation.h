// The correlation of two frames that tolerates a caption or watermark in a corner.
#pragma once

#include "frame_tables.h"

namespace pair_compare {

// Correlation of two kFine x kFine frames once each one's plane is taken away, over all
// blocks but the kDroppedBlocks that differ most; the planes are fitted again without those
// blocks, so a dark caption does not tilt them. When the left-out blocks hold most of both
// frames' structure, every block counts.
double robust_correlation(const Tables& tables, const double* a, const double* b);

}  // namespace pair_compare
