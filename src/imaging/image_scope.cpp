#include "imaging/image_scope.h"

namespace sil {

void close_quietly(py::handle image) noexcept {
  try {
    image.attr("close")();
  } catch (...) {
    // The error already travelling to the caller matters more than this one.
  }
}

ImageScope::~ImageScope() {
  while (!images_.empty()) {
    close_quietly(images_.back());
    images_.pop_back();
  }
}

py::object ImageScope::adopt(py::object image) {
  // padding_square_image hands a square image back as the same object.
  for (const py::object& held : images_) {
    if (held.is(image)) return image;
  }
  images_.push_back(image);
  return image;
}

void ImageScope::close_all() {
  while (!images_.empty()) {
    py::object image = images_.back();
    images_.pop_back();
    image.attr("close")();  // on failure the destructor still closes the rest
  }
}

}  // namespace sil
