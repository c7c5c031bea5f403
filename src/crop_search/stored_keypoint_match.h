// Matching a crop against a picture from the picture's stored keypoints.
#pragma once

#include <optional>

#include "module/python_helpers.h"

namespace sil {

// What live_search_find_matched(image_path, the crop read from crop_path) gives, computed
// from the picture's keypoints in the feature store (read and detected, then stored, when
// the picture is new or changed) and from the crop's keypoints, detected once per process
// for as long as the crop file stays the same. Nothing when this road does not apply (store
// off, names rebound, paths that are not plain files, a crop that cannot be read): the
// caller then takes the direct road, which also reports any error.
std::optional<py::object> match_from_store(const Namespace& ns, py::handle image_path,
                                           py::handle crop_path);

}  // namespace sil
