// Geometric verification: a similarity transform (rotation, uniform scale, shift) from crop
// to picture, fitted by OpenCV's RANSAC estimator to the putative correspondences.
#pragma once

#include <array>
#include <vector>

#include <pybind11/pybind11.h>

namespace verified_match {

struct Point {
  double x;
  double y;
};

struct Placement {
  long inliers = 0;
  std::array<Point, 4> corners{};  // crop outline in the picture: top-left, top-right,
                                   // bottom-right, bottom-left
};

struct FitSettings {
  double reprojection_threshold;  // pixels of the picture's working size
  long max_iterations;
  double confidence;
};

// Fits the transform taking `crop` points onto `picture` points (same length, at least two)
// with cv2.estimateAffinePartial2D and RANSAC, and counts the correspondences it explains.
// `outline` is the crop's width and height. Returns false when no transform was found.
bool fit_similarity(const pybind11::module_& cv2, const std::vector<Point>& crop,
                    const std::vector<Point>& picture, Point outline, const FitSettings& settings,
                    Placement& placement);

// Whether a fitted placement is a believable sighting of the crop: its outline is not
// collapsed (at least `min_side` pixels on its shorter side) and all four of its corners lie
// inside the picture of the given size, give or take `margin_share` of its longer side.
bool plausible(const Placement& placement, Point picture_size, double min_side,
               double margin_share);

}  // namespace verified_match
