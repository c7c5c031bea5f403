#include "module/python_helpers.h"

#include <cstdarg>

namespace sil {

py::object Namespace::operator[](const char* name) const {
  PyObject* value = PyDict_GetItemString(dict_, name);  // borrowed
  if (value == nullptr) {
    value = PyDict_GetItemString(PyEval_GetBuiltins(), name);
  }
  if (value == nullptr) {
    raise_format(PyExc_NameError, "name '%s' is not defined", name);
  }
  return py::reinterpret_borrow<py::object>(value);
}

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw py::error_already_set();
}

void raise_format(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw py::error_already_set();
}

py::object steal_or_throw(PyObject* result) {
  if (result == nullptr) {
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(result);
}

}  // namespace sil
