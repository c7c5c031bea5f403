#include "index/package_check.h"

namespace sil {

bool is_package(py::handle bound, const char* package) {
  PyObject* imported = PyImport_GetModule(py::str(package).ptr());
  if (imported == nullptr) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return false;
  }
  const bool same = imported == bound.ptr();
  Py_DECREF(imported);
  return same;
}

}  // namespace sil
