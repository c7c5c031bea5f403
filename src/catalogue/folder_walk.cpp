#include "catalogue/catalogue.h"

namespace sil {

py::object absolute_path_recursive_a_directory(const Namespace&, const py::handle*) {
  raise(PyExc_NotImplementedError, "absolute_path_recursive_a_directory is not implemented yet");
}

py::object get_images_absolute_path_recursive_a_directory(const Namespace&, const py::handle*) {
  raise(PyExc_NotImplementedError, "get_images_absolute_path_recursive_a_directory is not implemented yet");
}

}  // namespace sil
