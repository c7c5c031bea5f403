// Binding of call arguments to parameters, and the exact-type checks made on entry.
#pragma once

#include "module/function_row.h"

namespace sil {

// Fills `bound` (one borrowed reference per parameter) from a vectorcall, the way the
// interpreter binds a Python function of the same signature, with the same error texts.
// `defaults` is the function's defaults tuple or null. Returns false with TypeError set.
bool bind_arguments(const FunctionSpec& spec, PyObject* qualname, PyObject* defaults,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound);

// Tests the checked parameters, in order, for being exactly `str` or `int`. Returns false
// with TypeError set for the first that fails; later parameters are not looked at.
bool check_entry_types(const FunctionSpec& spec, PyObject* const* bound);

}  // namespace sil
