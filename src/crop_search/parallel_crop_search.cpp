#include "crop_search/crop_search.h"

namespace sil {

py::object live_search_process_image(const Namespace&, const py::handle*) {
  raise(PyExc_NotImplementedError, "live_search_process_image is not implemented yet");
}

py::object live_search_similar_cropped(const Namespace&, const py::handle*) {
  raise(PyExc_NotImplementedError, "live_search_similar_cropped is not implemented yet");
}

}  // namespace sil
