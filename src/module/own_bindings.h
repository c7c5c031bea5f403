// What start-up bound in the module namespace, kept so that a fast road (module/fast_roads.h)
// can tell whether the names it stands in for are still the module's own or were rebound by
// the host since.
#pragma once

#include <span>

#include "module/python_helpers.h"

namespace sil {

// Records the namespace as start-up leaves it, and the object each dotted name of a fast
// road ("json.dumps") resolves to then. Called once, at the end of start-up.
void remember_own_bindings(PyObject* module_dict);

// True when every one of `names` still resolves to the very object it resolved to at
// start-up. A dotted name is resolved only while every name before its last dot is the
// module's own, so no host object is asked for an attribute.
bool are_own_bindings(const Namespace& ns, std::span<const char* const> names);

}  // namespace sil
