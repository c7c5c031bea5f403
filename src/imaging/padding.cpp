#include "imaging/imaging.h"

namespace sil {

py::object padding_square_image(const Namespace&, const py::handle*) {
  raise(PyExc_NotImplementedError, "padding_square_image is not implemented yet");
}

}  // namespace sil
