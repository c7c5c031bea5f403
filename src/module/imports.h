// The import statements that start-up runs: `import name` and `from name import a, b`.
#pragma once

#include <initializer_list>

#include "module/python_helpers.h"

namespace sil {

// `import name` (or `import name as alias`): binds the module in `dict`.
void import_module(PyObject* dict, const char* name, const char* alias = nullptr);

// `from name import a, b, ...`: binds each name in `dict`, in order. A missing name fails
// with ImportError "cannot import name <name>".
void import_names(PyObject* dict, const char* module, std::initializer_list<const char*> names);

}  // namespace sil
