// Folder catalogue: recursive walk, image filter and folder fingerprint.
// Bodies of module functions; the function table binds them (see module/function_table.h).
#pragma once

#include "module/python_helpers.h"

namespace sil {

py::object absolute_path_recursive_a_directory(const Namespace& ns, const py::handle* args);
py::object get_images_absolute_path_recursive_a_directory(const Namespace& ns, const py::handle* args);
py::object compute_md5_of_files(const Namespace& ns, const py::handle* args);
py::object is_images_in_dir_changed(const Namespace& ns, const py::handle* args);

}  // namespace sil
