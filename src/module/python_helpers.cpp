#include "module/python_helpers.h"

#include <cstdarg>
#include <exception>
#include <new>

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

void set_error_from_current_exception(PyObject* other) noexcept {
  try {
    throw;
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (py::builtin_exception& error) {
    error.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(other, error.what());
  } catch (...) {
    PyErr_SetString(other, "unknown C++ exception");
  }
}

py::object steal_or_throw(PyObject* result) {
  if (result == nullptr) {
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(result);
}

namespace {

[[noreturn]] void raise_too_few(Py_ssize_t expected, Py_ssize_t found, UnpackWording wording) {
  if (wording == UnpackWording::kNeedMore) {
    raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
  }
  raise_format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", expected,
               found);
}

[[noreturn]] void raise_too_many(Py_ssize_t expected) {
  raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

py::object iterate(py::handle value, UnpackWording wording) {
  PyObject* iterator = PyObject_GetIter(value.ptr());
  if (iterator == nullptr && wording == UnpackWording::kInterpreter &&
      PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    raise_format(PyExc_TypeError, "cannot unpack non-iterable %s object",
                 Py_TYPE(value.ptr())->tp_name);
  }
  return steal_or_throw(iterator);
}

// The next value of `iterator`, or a null object when it is exhausted; an error raised by
// the iteration itself propagates.
py::object next_or_null(py::handle iterator) {
  PyObject* item = PyIter_Next(iterator.ptr());
  if (item == nullptr && PyErr_Occurred()) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(item);
}

}  // namespace

std::vector<py::object> unpack_exactly(py::handle value, Py_ssize_t count, UnpackWording wording) {
  std::vector<py::object> values;
  values.reserve(static_cast<std::size_t>(count));
  // Lists and tuples know their length, so a wrong one is reported without iterating.
  if (PyTuple_CheckExact(value.ptr()) || PyList_CheckExact(value.ptr())) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(value.ptr());
    if (size > count) raise_too_many(count);
    if (size < count) raise_too_few(count, size, wording);
    for (Py_ssize_t i = 0; i < count; ++i) {
      values.push_back(
          py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(value.ptr(), i)));
    }
    return values;
  }
  const py::object iterator = iterate(value, wording);
  for (Py_ssize_t i = 0; i < count; ++i) {
    py::object item = next_or_null(iterator);
    if (!item) raise_too_few(count, i, wording);
    values.push_back(std::move(item));
  }
  if (next_or_null(iterator)) raise_too_many(count);
  return values;
}

std::pair<py::object, py::object> unpack_pair(py::handle value) {
  std::vector<py::object> values = unpack_exactly(value, 2, UnpackWording::kInterpreter);
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

bool comparison_holds(py::handle left, py::handle right, int op) {
  return is_true(steal_or_throw(PyObject_RichCompare(left.ptr(), right.ptr(), op)));
}

bool is_uint8_array(py::handle value, long ndim) {
  const py::module_ np = py::module_::import("numpy");
  return py::type::handle_of(value).is(np.attr("ndarray")) &&
         py::object(value.attr("dtype")).equal(np.attr("dtype")("uint8")) &&
         value.attr("ndim").cast<long>() == ndim;
}

}  // namespace sil
