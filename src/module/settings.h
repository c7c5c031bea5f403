// The seven settings, taken from the host's `constants` module at start-up. Bodies read
// them from the module namespace when used (Namespace::operator[]), never from here.
#pragma once

#include "module/python_helpers.h"

namespace sil {

void take_settings(PyObject* module_dict);

}  // namespace sil
