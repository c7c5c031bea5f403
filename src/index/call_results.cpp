#include "index/call_results.h"

namespace sil {

std::pair<py::object, py::object> unpack_pair(py::handle result) {
  py::iterator items = py::iter(result);
  py::object values[2];
  Py_ssize_t count = 0;
  for (; items != py::iterator::sentinel(); ++items) {
    if (count == 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    values[count++] = py::reinterpret_borrow<py::object>(*items);
  }
  if (count < 2) {
    raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", count);
  }
  return {std::move(values[0]), std::move(values[1])};
}

void log_info(const Namespace& ns, py::handle message) {
  ns["logging"].attr("info")(message);
}

bool is_true(py::handle value) {
  const int truth = PyObject_IsTrue(value.ptr());
  if (truth < 0) throw py::error_already_set();
  return truth == 1;
}

}  // namespace sil
