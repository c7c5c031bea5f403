// Walking a listing past the positions a build dropped (the files that gave no vector).
#pragma once

#include <vector>

#include "module/python_helpers.h"

namespace sil {

// Calls `on_dropped(position, item)` for the items of `items` at the positions in `dropped`
// (ascending) and `on_kept(position, item)` for all others, in order; either callback stops
// the walk by returning false. True when the walk reached the end of `items` and met every
// position in `dropped`.
template <typename OnKept, typename OnDropped>
bool walk_past_dropped(py::handle items, const std::vector<Py_ssize_t>& dropped, OnKept on_kept,
                       OnDropped on_dropped) {
  std::size_t next_dropped = 0;
  Py_ssize_t position = 0;
  for (py::handle item : items) {
    const bool is_dropped = next_dropped < dropped.size() && dropped[next_dropped] == position;
    if (is_dropped) ++next_dropped;
    if (!(is_dropped ? on_dropped(position, item) : on_kept(position, item))) return false;
    ++position;
  }
  return next_dropped == dropped.size();
}

}  // namespace sil
