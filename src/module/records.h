// The two plain records the module passes around: ImageData and MatchedResult.
#pragma once

#include "module/python_helpers.h"

namespace sil {

// Makes both record classes with the host's `dataclass` decorator (taken from the module
// namespace) and binds them, ImageData first.
void define_records(const Namespace& ns, PyObject* module_dict);

// The record `ImageData(image_path=path, last_modified=last_modified)` gives, while the
// native-records road is open (module/fast_roads.h), made without
// running the generated __init__: the same attributes, in the same order, held in a
// dictionary made at once rather than when __dict__ is first asked for. New reference.
py::object make_own_image_record(py::handle path, py::handle last_modified);

}  // namespace sil
