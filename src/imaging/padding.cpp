// padding_square_image: makes an image square by extending it with white, never scaling or
// cropping it. The image keeps the top-left corner, so a landscape image gets a white band
// below it and a portrait image one to its right.
#include "imaging/image_scope.h"
#include "imaging/imaging.h"

namespace sil {
namespace {

// `width, height = size`, with the interpreter's own unpacking errors.
std::pair<py::object, py::object> unpack_pair(py::handle size) {
  PyObject* iterator = PyObject_GetIter(size.ptr());
  if (iterator == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_format(PyExc_TypeError, "cannot unpack non-iterable %s object",
                   Py_TYPE(size.ptr())->tp_name);
    }
    throw py::error_already_set();
  }
  py::object items = py::reinterpret_steal<py::object>(iterator);
  py::object values[2];
  for (int got = 0; got < 2; ++got) {
    PyObject* value = PyIter_Next(items.ptr());
    if (value == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
    }
    values[got] = py::reinterpret_steal<py::object>(value);
  }
  PyObject* extra = PyIter_Next(items.ptr());
  if (extra != nullptr) {
    Py_DECREF(extra);
    raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  return {values[0], values[1]};
}

// `bool(left <op> right)`, as an `if` statement evaluates a comparison.
bool compare(const py::object& left, const py::object& right, int op) {
  py::object result = steal_or_throw(PyObject_RichCompare(left.ptr(), right.ptr(), op));
  const int truth = PyObject_IsTrue(result.ptr());
  if (truth < 0) throw py::error_already_set();
  return truth != 0;
}

}  // namespace

py::object padding_square_image(const Namespace& ns, const py::handle* args) {
  py::handle img = args[0];
  py::tuple pad_color = py::make_tuple(255, 255, 255);
  auto [width, height] = unpack_pair(img.attr("size"));
  if (compare(width, height, Py_EQ)) {
    return py::reinterpret_borrow<py::object>(img);
  }
  py::object side = compare(width, height, Py_GT) ? width : height;
  // The canvas is RGB whatever the image's mode; paste brings the pixels into RGB.
  py::object new_img = ns["Image"].attr("new")("RGB", py::make_tuple(side, side), pad_color);
  try {
    new_img.attr("paste")(img, py::make_tuple(0, 0));
  } catch (...) {
    close_quietly(new_img);
    throw;
  }
  return new_img;
}

}  // namespace sil
