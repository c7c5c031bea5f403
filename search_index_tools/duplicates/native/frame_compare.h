// How alike two pictures are under one transform, from their grey thumbnails, with each frame
// cut by up to a tenth of any side where that fits better (a cropped copy).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "frame_tables.h"
#include "robust_correlation.h"

namespace pair_compare {

using Thumbnail = const std::uint8_t*;  // kThumbnail x kThumbnail grey levels, row by row
using Size = std::pair<long, long>;     // width, height as shown

struct Comparison {
  double similarity;  // robust correlation, 1 the same picture
  bool cropped;       // the best fit cut a frame
};

// A profile resampled by the tables' resamplings its side of a pair uses, line taken away,
// with its length.
struct Resampled {
  std::vector<std::array<double, kFine>> values;
  std::vector<double> norms;
};

// What comparisons need of one picture alone, worked out once for all the transforms its
// partner is compared under.
struct Prepared {
  Thumbnail thumbnail;
  PlanedFrame whole;        // the uncut frame
  Resampled rows, columns;  // its mean rows' and mean columns' profiles
};

Prepared prepare(const Tables& tables, Thumbnail thumbnail);

// The thumbnail halved on both sides: means of 2 x 2 pixels, in single precision (exact:
// quarters of whole grey levels).
void halved(Thumbnail thumbnail, float* out);

// Picture b turned by transform `index` against picture a. The cuts are found on each axis
// from the two pictures' mean rows and columns, then the frames are compared whole.
Comparison compare(const Tables& tables, const Prepared& a, Thumbnail b, int index);

// Whether picture b, once turned by transform `index`, has about the shape of a.
bool aspect_fits(const Tables& tables, Size a, Size b, int index);

// The transform under which b looks most like a, and that comparison: the settings' `tried`
// best transforms by their uncut score are compared in full, and all of them when none of
// those reaches full_search_below. (0, similarity 0) when the shapes allow none.
std::pair<int, Comparison> best_transform(const Tables& tables, Thumbnail a, Thumbnail b,
                                          Size size_a, Size size_b);

}  // namespace pair_compare
