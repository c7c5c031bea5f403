// The files a build leaves out: positions in the listing whose loader result is no vector.
#pragma once

#include <vector>

#include "module/python_helpers.h"

namespace sil {

// Positions whose loader result is None or empty, ascending.
std::vector<Py_ssize_t> positions_without_vector(py::handle images);

// The entries of `items` whose positions are not in `dropped` (ascending), in order.
py::list without_positions(py::handle items, const std::vector<Py_ssize_t>& dropped);

}  // namespace sil
