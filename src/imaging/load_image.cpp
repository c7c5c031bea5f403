#include "imaging/imaging.h"

namespace sil {

py::object load_image(const Namespace&, const py::handle*) {
  raise(PyExc_NotImplementedError, "load_image is not implemented yet");
}

}  // namespace sil
