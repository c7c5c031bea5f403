// Shrinking a float grid by pixel areas, the way cv2.resize(..., interpolation=INTER_AREA)
// does for factors that are not whole numbers, step for step in single precision, so a cut
// frame comes out as the numpy road's cv2 call makes it.
#pragma once

namespace pair_compare {

// `in` is height x width (row stride `stride`), both above out_side and below twice it;
// `out` receives out_side x out_side values.
void area_shrink(const float* in, int height, int width, int stride, int out_side, float* out);

}  // namespace pair_compare
