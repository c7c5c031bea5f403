// How closely a resized crop and the picture window it was placed on agree, grey level by
// grey level: the final test of a pixel-based placement.
#pragma once

#include "template_scan.h"

namespace verified_match {

struct Agreement {
  double correlation;            // normalised correlation of the grey levels
  double mean_difference;        // mean absolute grey-level difference once the crop's levels
                                 // are fitted to the window's by a gain and an offset (a
                                 // lighter, darker or flatter copy differs by nearly 0); no
                                 // gain above 0 fitting (a negative) gives infinity
  double structure;              // standard deviation of the crop once its best-fitting
                                 // plane (a linear gradient) is taken away
  double structure_correlation;  // correlation of the two after the same removal
};

// Both arrays have one shape. A linear gradient is taken away before the structure figures
// because any two gradients of one direction correlate almost perfectly: only what is left,
// the crop's own shapes, tells its picture from another smooth one.
Agreement grey_agreement(const GreyImage& crop, const GreyImage& window);

}  // namespace verified_match
