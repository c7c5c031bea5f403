// padding_square_image: makes an image square by extending it with white, never scaling or
// cropping it. The image keeps the top-left corner, so a landscape image gets a white band
// below it and a portrait image one to its right.
#include "module/closing_scope.h"

namespace sil {

py::object padding_square_image(const Namespace& ns, const py::handle* args) {
  py::handle img = args[0];
  py::tuple pad_color = py::make_tuple(255, 255, 255);
  auto [width, height] = unpack_pair(img.attr("size"));
  if (comparison_holds(width, height, Py_EQ)) {
    return py::reinterpret_borrow<py::object>(img);
  }
  py::object side = comparison_holds(width, height, Py_GT) ? width : height;
  // The canvas is RGB whatever the image's mode; paste brings the pixels into RGB.
  ClosingScope made;
  py::object new_img =
      made.adopt(ns["Image"].attr("new")("RGB", py::make_tuple(side, side), pad_color));
  new_img.attr("paste")(img, py::make_tuple(0, 0));
  return made.release(new_img);  // the caller's to close
}

}  // namespace sil
