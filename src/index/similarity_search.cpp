#include "index/index.h"

namespace sil {

py::object search_images(const Namespace&, const py::handle*) {
  raise(PyExc_NotImplementedError, "search_images is not implemented yet");
}

py::object search_image(const Namespace&, const py::handle*) {
  raise(PyExc_NotImplementedError, "search_image is not implemented yet");
}

}  // namespace sil
