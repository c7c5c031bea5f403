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
#include <vector>

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

// Inside a catch block: sets the Python error for the exception being handled. A Python
// error travels as itself, pybind11's built-in errors as their Python types, a failed
// allocation as MemoryError, and any other C++ exception as `other` with its message.
void set_error_from_current_exception(PyObject* other = PyExc_RuntimeError) noexcept;

// Throws the pending Python error when `result` is null, otherwise takes ownership of it.
py::object steal_or_throw(PyObject* result);

// How a failed unpacking is worded. kInterpreter: as this interpreter words `a, b = value`
// ("cannot unpack non-iterable int object", "not enough values to unpack (expected 2,
// got 1)"). kNeedMore: the older wording the crop search's callers expect ("'int' object is
// not iterable", "need more than 1 value to unpack"). Too many values read the same in both.
enum class UnpackWording { kInterpreter, kNeedMore };

// The `count` values of `value`, in order, as `a, b, ... = value` takes them: a list or tuple
// of another length, or an iterable that yields fewer or more values, raises ValueError; a
// value that cannot be iterated raises TypeError.
std::vector<py::object> unpack_exactly(py::handle value, Py_ssize_t count, UnpackWording wording);

// `a, b = value`, with the interpreter's own errors.
std::pair<py::object, py::object> unpack_pair(py::handle value);

// The truth value of `value`, as an `if` statement takes it.
bool is_true(py::handle value);

// `bool(left <op> right)` for op Py_EQ, Py_GT and the others, as an `if` statement takes a
// comparison: the comparison's result, whatever its type, through its truth value.
bool comparison_holds(py::handle left, py::handle right, int op);

// A path (str, bytes or path-like) in the file system's encoding, for the C library.
std::string fs_encode(py::handle path);

// Whether `value` is exactly a NumPy array of uint8 with `ndim` dimensions: what can be kept
// as raw bytes and read back equal.
bool is_uint8_array(py::handle value, long ndim);

}  // namespace sil
