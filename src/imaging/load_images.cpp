#include "imaging/imaging.h"

namespace sil {

py::object load_images(const Namespace&, const py::handle*) {
  raise(PyExc_NotImplementedError, "load_images is not implemented yet");
}

}  // namespace sil
