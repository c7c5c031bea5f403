// The image files of a folder tree, as the index build lists them.
#pragma once

#include "module/python_helpers.h"

namespace sil {

// Every record of `absolute_path_recursive_a_directory(folder)` whose path matches
// FILE_EXTENSION_REGEX (case ignored), in walk order.
py::list image_listing(const Namespace& ns, py::handle folder);

}  // namespace sil
