#include "index/dropped_positions.h"

namespace sil {

std::vector<Py_ssize_t> positions_without_vector(py::handle images) {
  std::vector<Py_ssize_t> positions;
  Py_ssize_t position = 0;
  for (py::handle image : images) {
    if (image.is_none() || py::len(image) == 0) positions.push_back(position);
    ++position;
  }
  return positions;
}

py::list without_positions(py::handle items, const std::vector<Py_ssize_t>& dropped) {
  py::list kept;
  walk_past_dropped(
      items, dropped,
      [&](Py_ssize_t, py::handle item) {
        kept.append(item);
        return true;
      },
      [](Py_ssize_t, py::handle) { return true; });
  return kept;
}

}  // namespace sil
