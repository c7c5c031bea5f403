// padding_square_image: makes an image square by extending it with white, never scaling or
// cropping it. The image keeps the top-left corner, so a landscape image gets a white band
// below it and a portrait image one to its right.
#include "imaging/image_scope.h"

namespace sil {
namespace {

// `bool(left <op> right)`, as an `if` statement evaluates a comparison.
bool compare(const py::object& left, const py::object& right, int op) {
  return is_true(steal_or_throw(PyObject_RichCompare(left.ptr(), right.ptr(), op)));
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
