// Image preparation: square padding, vectorisation and parallel loading.
// Bodies of module functions; the function table binds them (see module/function_table.h).
#pragma once

#include "module/python_helpers.h"

namespace sil {

py::object padding_square_image(const Namespace& ns, const py::handle* args);
py::object load_image(const Namespace& ns, const py::handle* args);
py::object load_images(const Namespace& ns, const py::handle* args);

}  // namespace sil
