// Vector index: index build and cache, similarity search.
// Bodies of module functions; the function table binds them (see module/function_table.h).
#pragma once

#include "module/python_helpers.h"

namespace sil {

py::object index_a_directory(const Namespace& ns, const py::handle* args);
py::object search_images(const Namespace& ns, const py::handle* args);
py::object search_image(const Namespace& ns, const py::handle* args);

}  // namespace sil
