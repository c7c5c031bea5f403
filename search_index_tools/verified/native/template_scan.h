// Where a small grey template sits best in a grey picture, by OpenCV's template matching at
// one size per template: the coarse step of the pixel-based placement of a crop.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace verified_match {

using GreyImage = pybind11::array_t<uint8_t, pybind11::array::c_style | pybind11::array::forcecast>;

struct Spot {
  double score = 0;  // correlation of the grey levels plus structure_weight times the
                     // correlation of what is left of both once a linear gradient is taken away
  long x = 0;        // top-left corner of the template in the picture
  long y = 0;
  long width = 0;
  long height = 0;
};

// The best spot of `templ` in `image` (neither larger than the image). Both correlations are
// blind to a change of brightness and contrast; the second one, of the grey levels less
// their best-fitting plane, is what tells one smooth gradient from another, since any two
// gradients of one direction correlate almost perfectly. Windows of the image flatter than
// one grey level of deviation are never a spot: they correlate with anything by chance.
// Returns false when the template does not fit or no spot qualifies.
bool best_spot(const pybind11::module_& cv2, const GreyImage& image, const GreyImage& templ,
               double structure_weight, Spot& spot);

// The best spot over several templates (the crop at several sizes); None when none fits,
// else (score, x, y, width, height).
pybind11::object scan_thumbnail(GreyImage image, const pybind11::list& templates,
                                double structure_weight);

}  // namespace verified_match
