// Small pieces every body of the index subsystem needs: unpacking the two results of a
// call as a Python assignment `a, b = call(...)` would, and INFO log lines.
#pragma once

#include <utility>

#include "module/python_helpers.h"

namespace sil {

// Exactly two values from any iterable, with the host's unpacking errors otherwise.
std::pair<py::object, py::object> unpack_pair(py::handle result);

// `logging.info(message)` through the module's own `logging`.
void log_info(const Namespace& ns, py::handle message);

// The truth value of `value`, as an `if` statement would take it.
bool is_true(py::handle value);

}  // namespace sil
