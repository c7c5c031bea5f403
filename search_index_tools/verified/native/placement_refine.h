// The finer step of the pixel-based placement: around the spot the coarse scan found, the
// crop is tried again at a few sizes near the coarse one, on the sharper thumbnail.
#pragma once

#include <pybind11/pybind11.h>

#include "template_scan.h"

namespace verified_match {

struct RefineSettings {
  double spread;            // sizes from (1 - spread) to (1 + spread) times the predicted one
  double step;              // relative size step
  long margin;              // pixels searched around the predicted corner on each side
  double structure_weight;  // as for the coarse scan
  long min_side;            // smaller templates are not tried
};

// The best spot of the crop, resized with OpenCV's area interpolation to sizes around the
// predicted region (x, y, width, height of the fine picture), searched within `margin` pixels
// of the predicted position. None, or (x, y, width, height, template): the template is the
// resized crop that scored best, for the caller's final comparison.
pybind11::object refine_placement(GreyImage image, GreyImage crop, pybind11::tuple predicted,
                                  const RefineSettings& settings);

}  // namespace verified_match
