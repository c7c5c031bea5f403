#include "crop_search/crop_file_check.h"

#include <cerrno>

#include "crop_search/greyscale_read.h"

namespace sil {

void ensure_crop_readable(const Namespace& ns, py::handle crop_path) {
  if (!is_true(ns["os"].attr("path").attr("exists")(crop_path))) {
    const py::object error = py::reinterpret_borrow<py::object>(PyExc_FileNotFoundError)(
        ENOENT, "No such crop image file", crop_path);
    PyErr_SetObject(PyExc_FileNotFoundError, error.ptr());
    throw py::error_already_set();
  }
  if (read_greyscale(ns, crop_path).is_none()) {
    raise_format(PyExc_ValueError,
                 "Cannot read the crop image file %R: it is not a regular file holding an "
                 "image that can be decoded within the image size limit, or it cannot be "
                 "opened",
                 crop_path.ptr());
  }
}

}  // namespace sil
