// search_index_tools._verified_match: the per-picture work of the verified cropped search,
// called by search_index_tools.verified_search for every picture of a folder.
#include <pybind11/pybind11.h>

#include "verify_picture.h"

namespace py = pybind11;
using verified_match::VerifySettings;

PYBIND11_MODULE(_verified_match, module) {
  module.doc() = "Descriptor matching and geometric verification of a crop against one picture.";
  module.def(
      "verify_picture",
      [](verified_match::Points crop_points, verified_match::Descriptors crop_descriptors,
         py::tuple crop_size, verified_match::Points picture_points,
         verified_match::Descriptors picture_descriptors, py::tuple picture_size,
         py::tuple picture_scale, double ratio, long min_inliers, double reprojection_threshold,
         long max_iterations, double confidence, double min_side) {
        const VerifySettings settings{ratio,          min_inliers, reprojection_threshold,
                                      max_iterations, confidence,  min_side};
        return verified_match::verify_picture(crop_points, crop_descriptors, crop_size,
                                              picture_points, picture_descriptors, picture_size,
                                              picture_scale, settings);
      },
      py::arg("crop_points"), py::arg("crop_descriptors"), py::arg("crop_size"),
      py::arg("picture_points"), py::arg("picture_descriptors"), py::arg("picture_size"),
      py::arg("picture_scale"), py::kw_only(), py::arg("ratio"), py::arg("min_inliers"),
      py::arg("reprojection_threshold"), py::arg("max_iterations"), py::arg("confidence"),
      py::arg("min_side"),
      "None, or (inliers, corners): the correspondences consistent with one similarity\n"
      "transform from crop to picture, and the crop's outline in the picture's pixels.");
}
