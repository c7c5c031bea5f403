// The two plain records the module passes around: ImageData and MatchedResult.
#pragma once

#include "module/python_helpers.h"

namespace sil {

// Makes both record classes with the host's `dataclass` decorator (taken from the module
// namespace) and binds them, ImageData first.
void define_records(const Namespace& ns, PyObject* module_dict);

}  // namespace sil
