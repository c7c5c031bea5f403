// The verdict on one candidate pair of the duplicate finder: the same picture or not, under
// which transform, how alike, and whether a frame was cut.
#pragma once

#include "frame_compare.h"

namespace pair_compare {

struct Verdict {
  bool same;
  int transform;  // turns the second picture into the first
  double similarity;
  bool cropped;
};

// A pair of pictures with structure. The proposed transforms (a bit per transform in
// `proposed`) are compared; when none reaches the threshold, the other turns under which the
// two pictures' coarse vectors (sharp or blurred) agree as a candidate would are compared
// too, most alike first, until one reaches it.
Verdict verify_structured(const Tables& tables, Thumbnail first, Thumbnail second, Size size_first,
                          Size size_second, unsigned proposed, double threshold);

// A pair of plain pictures: the same when their grey levels nearly are, under the first
// proposed transform that the shapes allow.
Verdict verify_plain(const Tables& tables, Thumbnail first, Thumbnail second, Size size_first,
                     Size size_second, unsigned proposed);

// Whether two plain pictures (b turned by `index`) have nearly the same grey levels.
bool plain_alike(const Tables& tables, Thumbnail a, Thumbnail b, int index);

}  // namespace pair_compare
