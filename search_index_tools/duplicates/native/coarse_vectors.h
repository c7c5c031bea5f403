// The coarse vectors the candidate search compares, worked out for one pair of thumbnails
// when its proposed transforms all fail and the other turns are ranked.
#pragma once

#include <array>

#include "frame_compare.h"

namespace pair_compare {

using Coarse = std::array<float, kCoarseCells>;

// The centre's kCoarse x kCoarse cell means, plane taken away, unit length.
Coarse sharp_coarse(const Tables& tables, Thumbnail thumbnail);

// The same of the thumbnail blurred first (the blur and cell means are one table).
Coarse blurred_coarse(const Tables& tables, Thumbnail thumbnail);

}  // namespace pair_compare
