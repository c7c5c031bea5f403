// The index handed out over a mapped index file: a subclass of faiss.IndexFlatL2 that searches
// and writes straight from the mapping and copies its vectors into memory of its own before
// the first change (an `add`, `reset`, ..., writing through get_xb() or `codes`, or setting
// one of faiss's attributes), so that a change never reaches the file. Pickled or copied, it
// becomes a plain IndexFlatL2 holding its vectors.
#pragma once

#include "module/python_helpers.h"

namespace sil {

// A new instance of the subclass of `base` (faiss.IndexFlatL2) over faiss's `mapped` index.
// Instances over one mapping share it until each makes its copy.
py::object copy_on_write_index(py::handle base, const py::object& mapped);

}  // namespace sil
