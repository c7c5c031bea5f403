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

std::pair<py::object, py::object> unpack_pair(py::handle value) {
  PyObject* iterator = PyObject_GetIter(value.ptr());
  if (iterator == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_format(PyExc_TypeError, "cannot unpack non-iterable %s object",
                   Py_TYPE(value.ptr())->tp_name);
    }
    throw py::error_already_set();
  }
  py::object items = py::reinterpret_steal<py::object>(iterator);
  py::object values[2];
  for (int got = 0; got < 2; ++got) {
    PyObject* item = PyIter_Next(items.ptr());
    if (item == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
    }
    values[got] = py::reinterpret_steal<py::object>(item);
  }
  PyObject* extra = PyIter_Next(items.ptr());
  if (extra != nullptr) {
    Py_DECREF(extra);
    raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  return {std::move(values[0]), std::move(values[1])};
}

std::string fs_encode(py::handle path) {
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(path.ptr(), &encoded)) throw py::error_already_set();
  const py::bytes bytes = py::reinterpret_steal<py::bytes>(encoded);
  return std::string(bytes);
}

bool is_true(py::handle value) {
  const int truth = PyObject_IsTrue(value.ptr());
  if (truth < 0) throw py::error_already_set();
  return truth != 0;
}

}  // namespace sil
