#include "index/index.h"

namespace sil {

py::object index_a_directory(const Namespace&, const py::handle*) {
  raise(PyExc_NotImplementedError, "index_a_directory is not implemented yet");
}

}  // namespace sil
