// Cropped-region search: keypoint matching, parallel search and ranking, entry point.
// Bodies of module functions; the function table binds them (see module/function_table.h).
#pragma once

#include "module/python_helpers.h"

namespace sil {

py::object live_search_find_matched(const Namespace& ns, const py::handle* args);
py::object live_search_process_image(const Namespace& ns, const py::handle* args);
py::object live_search_similar_cropped(const Namespace& ns, const py::handle* args);
py::object cropped_search(const Namespace& ns, const py::handle* args);

}  // namespace sil
