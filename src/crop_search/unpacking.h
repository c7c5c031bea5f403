// Unpacking of a fixed number of values, as the host's `a, b = value` statement does it.
#pragma once

#include <vector>

#include "module/python_helpers.h"

namespace sil {

// The `count` values of `value`, in order. A list or tuple of another length, or an iterable
// that yields fewer or more values, raises ValueError "need more than N value(s) to unpack"
// or "too many values to unpack (expected N)"; a value that cannot be iterated raises the
// host's TypeError.
std::vector<py::object> unpack_exactly(py::handle value, Py_ssize_t count);

}  // namespace sil
