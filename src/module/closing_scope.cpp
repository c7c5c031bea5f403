#include "module/closing_scope.h"

#include <algorithm>

namespace sil {

void close_quietly(py::handle object) noexcept {
  try {
    object.attr("close")();
  } catch (...) {
    // The error already travelling to the caller matters more than this one.
  }
}

ClosingScope::~ClosingScope() {
  while (!objects_.empty()) {
    close_quietly(objects_.back());
    objects_.pop_back();
  }
}

py::object ClosingScope::adopt(py::object object) {
  // padding_square_image hands a square image back as the same object.
  for (const py::object& held : objects_) {
    if (held.is(object)) return object;
  }
  objects_.push_back(object);
  return object;
}

py::object ClosingScope::release(py::object object) {
  objects_.erase(std::remove_if(objects_.begin(), objects_.end(),
                                [&](const py::object& held) { return held.is(object); }),
                 objects_.end());
  return object;
}

void ClosingScope::close_all() {
  while (!objects_.empty()) {
    py::object object = objects_.back();
    objects_.pop_back();
    object.attr("close")();  // on failure the destructor still closes the rest
  }
}

}  // namespace sil
