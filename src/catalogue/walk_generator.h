// The lazy object `absolute_path_recursive_a_directory` returns: a generator of ImageData
// records over a native directory walk. It does nothing until the first item is asked for.
#pragma once

#include "module/python_helpers.h"

namespace sil {

// A new, not yet started walk of `folder` whose records are made with the ImageData class
// (and whose path functions are taken from `os`) of the namespace `ns`.
py::object make_walk_generator(const Namespace& ns, py::handle folder);

}  // namespace sil
