// The function type of the module: a callable that binds its arguments like a Python
// function, runs the entry checks, then runs a C++ body with the module's namespace.
#pragma once

#include "module/function_row.h"

namespace sil {

// Readies the type; call once before making functions. Returns -1 with an error set.
int ready_function_type();

// A new function object for `spec` whose body sees `module_dict` as its namespace.
PyObject* make_function(const FunctionSpec& spec, PyObject* module_name, PyObject* module_dict);

}  // namespace sil
