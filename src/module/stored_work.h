// When the feature store may stand in for work, and what that work depends on.
//
// Stored work is only handed out while every name the work goes through is still the
// module's own: a host that rebinds one of them gets exactly what it asked for, the work
// done afresh. Settings that change the work are part of each entry's key instead.
#pragma once

#include <optional>
#include <string>

#include "module/python_helpers.h"

namespace sil {

// The image vectors of load_image: the store applies while it is turned on and load_image,
// padding_square_image, Image, UnidentifiedImageError and np are the module's own.
bool vector_store_applies(const Namespace& ns);

// Text naming what a stored vector depends on besides its file (VECTOR_TENSOR_SIZE, the
// library versions and the picture decoders registered with Pillow), and the vector length; nothing when VECTOR_TENSOR_SIZE is not a
// positive int, in which case the loader's own errors must be seen.
std::optional<std::string> vector_settings(const Namespace& ns, Py_ssize_t* length);

// The keypoints of the crop search: the store applies while it is turned on and
// live_search_process_image, live_search_find_matched, cv2 and MatchedResult are the
// module's own.
bool keypoint_store_applies(const Namespace& ns);

// Text naming what stored keypoints depend on besides their file (the detector, its default
// parameters and the greyscale read, through the OpenCV version).
std::string keypoint_settings(const Namespace& ns);

}  // namespace sil
