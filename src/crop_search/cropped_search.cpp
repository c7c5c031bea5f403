#include "crop_search/crop_search.h"

namespace sil {

py::object cropped_search(const Namespace&, const py::handle*) {
  raise(PyExc_NotImplementedError, "cropped_search is not implemented yet");
}

}  // namespace sil
