// Small helpers for working with Python objects from the function bodies.
//
// Bodies are written with pybind11's object API (owning references, calls, attribute
// access) and report Python errors by throwing py::error_already_set; the function
// object's call slot turns any exception back into a Python error.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace py = pybind11;

namespace sil {

// The module's own namespace. Every module, setting, record and sibling function a body
// uses is looked up here at the moment of use, so a host that rebinds a module attribute
// changes what later calls see.
class Namespace {
 public:
  explicit Namespace(PyObject* dict) : dict_(dict) {}

  // The object bound to `name`; NameError when the host removed it. Builtins are a
  // fallback, as for a Python function's globals.
  py::object operator[](const char* name) const;

  PyObject* dict() const { return dict_; }

 private:
  PyObject* dict_;  // borrowed: the function object owns it
};

// Raises `type` with `message` as a C++ exception carrying the Python error.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// Throws the pending Python error when `result` is null, otherwise takes ownership of it.
py::object steal_or_throw(PyObject* result);

// `a, b = value`: exactly two values from any iterable, with the interpreter's own errors.
std::pair<py::object, py::object> unpack_pair(py::handle value);

// The truth value of `value`, as an `if` statement takes it.
bool is_true(py::handle value);

// A path (str, bytes or path-like) in the file system's encoding, for the C library.
std::string fs_encode(py::handle path);

// Runs `use(file)` and closes `file` afterwards, also when `use` failed, as a `with`
// block over an opened file does.
template <typename Use>
py::object with_open_file(const py::object& file, Use use) {
  py::object result;
  try {
    result = use(file);
  } catch (py::error_already_set&) {
    file.attr("close")();
    throw;
  }
  file.attr("close")();
  return result;
}

}  // namespace sil
