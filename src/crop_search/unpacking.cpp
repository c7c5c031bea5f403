#include "crop_search/unpacking.h"

namespace sil {
namespace {

[[noreturn]] void raise_too_many(Py_ssize_t expected) {
  raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

[[noreturn]] void raise_need_more(Py_ssize_t found) {
  raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
               found == 1 ? "" : "s");
}

// The next value of `iterator`, or a null object when it is exhausted; an error raised by
// the iteration itself propagates.
py::object next_or_null(py::handle iterator) {
  PyObject* item = PyIter_Next(iterator.ptr());
  if (item == nullptr && PyErr_Occurred()) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(item);
}

}  // namespace

std::vector<py::object> unpack_exactly(py::handle value, Py_ssize_t count) {
  std::vector<py::object> values;
  values.reserve(static_cast<size_t>(count));
  // Lists and tuples know their length, so a wrong one is reported without iterating.
  if (PyTuple_CheckExact(value.ptr()) || PyList_CheckExact(value.ptr())) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(value.ptr());
    if (size > count) raise_too_many(count);
    if (size < count) raise_need_more(size);
    for (Py_ssize_t i = 0; i < count; ++i) {
      values.push_back(py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(value.ptr(), i)));
    }
    return values;
  }
  const py::object iterator = steal_or_throw(PyObject_GetIter(value.ptr()));
  for (Py_ssize_t i = 0; i < count; ++i) {
    py::object item = next_or_null(iterator);
    if (!item) raise_need_more(i);
    values.push_back(std::move(item));
  }
  if (next_or_null(iterator)) raise_too_many(count);
  return values;
}

}  // namespace sil
