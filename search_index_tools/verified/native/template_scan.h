// Where a small grey template sits best in a grey picture, by OpenCV's template matching at
// one size per template: the coarse step of the pixel-based placement of a crop.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace verified_match {

using GreyImage = pybind11::array_t<uint8_t, pybind11::array::c_style | pybind11::array::forcecast>;

struct Spot {
  double score = 0;  // ncc - rms / rms_scale: high where both shape and grey levels agree
  long x = 0;        // top-left corner of the template in the picture
  long y = 0;
  long width = 0;
  long height = 0;
};

// The best spot of `templ` in `image` (neither larger than the image), scored by the
// normalised correlation (shape) less the root-mean-square grey-level difference divided by
// `rms_scale` (level): correlation alone cannot tell one smooth gradient from another, and
// the grey difference alone prefers flat regions of a similar mean. Returns false when the
// template does not fit or no spot has a finite score.
bool best_spot(const pybind11::module_& cv2, const GreyImage& image, const GreyImage& templ,
               double rms_scale, Spot& spot);

// The best spot over several templates (the crop at several sizes); None when none fits,
// else (score, x, y, width, height).
pybind11::object scan_thumbnail(GreyImage image, const pybind11::list& templates,
                                double rms_scale);

}  // namespace verified_match
