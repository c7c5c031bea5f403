// Whether a name in the module namespace is still bound to the package it was imported as.
// Shortcuts that stand in for a library's calls are taken only then: a host that rebinds
// the name gets the calls themselves.
#pragma once

#include "module/python_helpers.h"

namespace sil {

// True when `bound` is the module that `import <package>` gives (sys.modules[package]).
bool is_package(py::handle bound, const char* package);

}  // namespace sil
