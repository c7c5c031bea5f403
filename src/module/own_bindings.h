// What start-up bound in the module namespace, kept so that a shortcut can tell whether the
// names it stands in for are still the module's own or were rebound by the host since.
#pragma once

#include <initializer_list>

#include "module/python_helpers.h"

namespace sil {

// Records the namespace as start-up leaves it. Called once, at the end of start-up.
void remember_own_bindings(PyObject* module_dict);

// True when every one of `names` is still bound to the very object start-up bound to it.
bool are_own_bindings(const Namespace& ns, std::initializer_list<const char*> names);

// True when `json.dumps`, as the namespace's `json` gives it now, is the function it gave at
// start-up: a shortcut that calls it on parts of a list stands in for one call on the whole.
bool is_own_json_dumps(const Namespace& ns);

}  // namespace sil
