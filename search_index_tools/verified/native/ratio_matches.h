// Putative correspondences between a crop and one picture, from the two nearest picture
// descriptors of every crop descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace verified_match {

struct Correspondence {
  int crop_index;
  int picture_index;
  int distance;
};

// Keeps the crop descriptors whose nearest picture descriptor is clearly closer than the
// second nearest (distance < ratio * second distance), then keeps at most one crop
// descriptor per picture descriptor (the closest; on a tie, the lower crop index), so one
// textured spot of the picture cannot vote many times. `distances` and `indices` are the
// row-major (rows x 2) results of a two-nearest-neighbour search; an index below 0 marks a
// missing neighbour. The result is ordered by crop index.
std::vector<Correspondence> ratio_matches(const int32_t* distances, const int32_t* indices,
                                          long rows, double ratio, long picture_count);

}  // namespace verified_match
