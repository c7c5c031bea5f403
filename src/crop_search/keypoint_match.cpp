#include "crop_search/crop_search.h"

namespace sil {

py::object live_search_find_matched(const Namespace&, const py::handle*) {
  raise(PyExc_NotImplementedError, "live_search_find_matched is not implemented yet");
}

}  // namespace sil
