#include "catalogue/catalogue.h"

namespace sil {

py::object compute_md5_of_files(const Namespace&, const py::handle*) {
  raise(PyExc_NotImplementedError, "compute_md5_of_files is not implemented yet");
}

py::object is_images_in_dir_changed(const Namespace&, const py::handle*) {
  raise(PyExc_NotImplementedError, "is_images_in_dir_changed is not implemented yet");
}

}  // namespace sil
