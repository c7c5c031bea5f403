// search_index_tools.verified._verified_match: the per-picture work of the verified cropped search,
// called by search_index_tools.verified.search for every picture of a folder.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "grey_agreement.h"
#include "keypoint_spread.h"
#include "listing_check.h"
#include "nearest_codes.h"
#include "placement_refine.h"
#include "template_scan.h"
#include "verify_picture.h"
#include "vote_geometry.h"
#include "window_scores.h"

namespace py = pybind11;
using verified_match::VerifySettings;

PYBIND11_MODULE(_verified_match, module) {
  module.doc() =
      "Descriptor matching and geometric verification of a crop against one picture, and the\n"
      "pixel-based placement of a crop on grey thumbnails.";
  module.def(
      "verify_picture",
      [](verified_match::Points crop_points, verified_match::Descriptors crop_descriptors,
         py::tuple crop_size, verified_match::Points picture_points,
         verified_match::Descriptors picture_descriptors, py::tuple picture_size,
         py::tuple picture_scale, double ratio, long min_inliers, double reprojection_threshold,
         long max_iterations, double confidence, double min_side, double margin_share,
         py::object neighbours) {
        const VerifySettings settings{ratio,          min_inliers, reprojection_threshold,
                                      max_iterations, confidence,  min_side,
                                      margin_share};
        return verified_match::verify_picture(crop_points, crop_descriptors, crop_size,
                                              picture_points, picture_descriptors, picture_size,
                                              picture_scale, settings, neighbours);
      },
      py::arg("crop_points"), py::arg("crop_descriptors"), py::arg("crop_size"),
      py::arg("picture_points"), py::arg("picture_descriptors"), py::arg("picture_size"),
      py::arg("picture_scale"), py::kw_only(), py::arg("ratio"), py::arg("min_inliers"),
      py::arg("reprojection_threshold"), py::arg("max_iterations"), py::arg("confidence"),
      py::arg("min_side"), py::arg("margin_share"), py::arg("neighbours") = py::none(),
      "None, or (inliers, corners): the correspondences consistent with one similarity\n"
      "transform from crop to picture, and the crop's outline in the picture's pixels.\n"
      "neighbours: (distances, indices) of the two nearest picture descriptors of every crop\n"
      "descriptor, or None to find them here.");

  module.def("scan_thumbnail", &verified_match::scan_thumbnail, py::arg("image"),
             py::arg("templates"), py::kw_only(), py::arg("structure_weight"),
             "None, or (score, x, y, width, height): the best spot of any of the templates in\n"
             "the grey image, scored by normalised correlation plus structure_weight times the\n"
             "correlation left once a fitted plane is taken from both.");
  module.def(
      "refine_placement",
      [](verified_match::GreyImage image, verified_match::GreyImage crop, py::tuple predicted,
         double spread, double step, long margin, double structure_weight, long min_side) {
        const verified_match::RefineSettings settings{spread, step, margin, structure_weight,
                                                      min_side};
        return verified_match::refine_placement(image, crop, predicted, settings);
      },
      py::arg("image"), py::arg("crop"), py::arg("predicted"), py::kw_only(), py::arg("spread"),
      py::arg("step"), py::arg("margin"), py::arg("structure_weight"), py::arg("min_side"),
      "None, or (x, y, width, height, template): the crop's best placement near the\n"
      "predicted (x, y, width, height), and the resized crop that gave it.");
  module.def(
      "grey_agreement",
      [](verified_match::GreyImage crop, verified_match::GreyImage window) {
        const verified_match::Agreement a = verified_match::grey_agreement(crop, window);
        return py::make_tuple(a.correlation, a.mean_difference, a.structure,
                              a.structure_correlation);
      },
      py::arg("crop"), py::arg("window"),
      "(correlation, mean absolute difference, structure, structure correlation) of two grey\n"
      "arrays of one shape; the difference is taken once the crop's levels are fitted to the\n"
      "window's (brightness and contrast), structure figures after removing a fitted plane.");
  module.def("best_window_scores", &verified_match::best_window_scores, py::arg("vectors"),
             py::arg("queries"), py::arg("rows"), py::kw_only(), py::arg("road") = "",
             "For each of `rows`, the largest integer inner product of one of that picture's\n"
             "window vectors (pictures x windows x 32 signed bytes) with one of the queries\n"
             "(turns x 32, 16-bit), as int64. road: \"avx2\", \"portable\" or \"\" (the\n"
             "fastest); every road gives the same numbers.");
  module.def("spread_positions", &verified_match::spread_positions, py::arg("points"),
             py::arg("responses"), py::kw_only(), py::arg("columns"), py::arg("cell"),
             py::arg("count"),
             "The positions (ascending) of the at most `count` keypoints a picture keeps: every\n"
             "grid cell gives its strongest first, then its second strongest, and so on; within\n"
             "one round the stronger come first, equal ones in detection order.");
  py::class_<verified_match::WordTree>(
      module, "WordTree",
      "The two-level tree of words: every leaf listed under its nearest top code (the lowest\n"
      "of equally near ones), leaves of a list in their order.")
      .def(py::init<verified_match::Codes, verified_match::Codes, const std::string&>(),
           py::arg("top"), py::arg("leaves"), py::kw_only(), py::arg("road") = "")
      .def("words", &verified_match::WordTree::words, py::arg("descriptors"), py::kw_only(),
           py::arg("road") = "",
           "The word (int64) of every descriptor: the number of its nearest leaf, the lowest of\n"
           "equally near ones, in its nearest top code's list; -1 when that list is empty.")
      .def("leaf_lists", &verified_match::WordTree::leaf_lists,
           "The list (top code) every leaf is listed under (int64), by leaf number.");
  module.def("nearest_codes", &verified_match::nearest_codes, py::arg("codes"), py::arg("queries"),
             py::kw_only(), py::arg("road") = "",
             "The position (int64) of the nearest of `codes` by Hamming distance, the lowest of\n"
             "equally near ones, for every query; -1 when there are no codes.");
  module.def("nearest_code_roads", &verified_match::nearest_code_roads,
             "The ways of computing distances this processor can take, the fastest first: any\n"
             "of them may be given as `road` (\"\" takes the fastest), all give the same answers.");
  module.def("check_listing", &verified_match::check_listing, py::arg("listing"),
             py::arg("numbers"), py::arg("keys"), py::arg("key_prefix"),
             "(stale, missing): the listed paths a candidate index must read again, each with\n"
             "its (device, inode, size, mtime_ns, ctime_ns), and those that name no regular\n"
             "file now. A path is stale when `numbers` lacks it or keys[number][0] is not\n"
             "key_prefix followed by its identity joined by '/'.");
  module.def(
      "consistent_votes",
      [](py::array_t<int64_t, py::array::c_style> pictures,
         py::array_t<double, py::array::c_style> weights,
         py::array_t<float, py::array::c_style> crop_points,
         py::array_t<float, py::array::c_style> picture_points, double tolerance, double min_scale,
         double max_scale, double min_spread, long max_hypotheses, long best_of) {
        const verified_match::VoteGeometrySettings settings{tolerance,  min_scale,      max_scale,
                                                            min_spread, max_hypotheses, best_of};
        return verified_match::consistent_votes(pictures, weights, crop_points, picture_points,
                                                settings);
      },
      py::arg("pictures"), py::arg("weights"), py::arg("crop_points"), py::arg("picture_points"),
      py::kw_only(), py::arg("tolerance"), py::arg("min_scale"), py::arg("max_scale"),
      py::arg("min_spread"), py::arg("max_hypotheses"), py::arg("best_of") = 0,
      "(numbers, scores): per picture of the votes (grouped by picture), the largest weight\n"
      "sum of its votes that one similarity transform fixed by two of them places within\n"
      "tolerance; pictures of fewer than three votes score their heaviest vote. best_of > 0:\n"
      "pictures that cannot be among that many best (by their votes' total weight) are left\n"
      "out.");
}
