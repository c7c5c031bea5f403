#include "crop_search/match_ranking.h"

#include <algorithm>
#include <numeric>
#include <vector>

namespace sil {
namespace {

// `sequence[:end]` with the host's own slice rules, whatever the size of `end`.
py::object head(const py::list& sequence, py::handle end) {
  const py::object slice = steal_or_throw(PySlice_New(nullptr, end.ptr(), nullptr));
  return steal_or_throw(PyObject_GetItem(sequence.ptr(), slice.ptr()));
}

}  // namespace

py::tuple rank_matched_results(const py::list& results, const py::list& records,
                               py::handle max_return) {
  if (results.size() != records.size()) {
    raise(PyExc_RuntimeError, "the crop search got a result count that differs from its images");
  }
  py::list kept_results, kept_records;
  std::vector<Py_ssize_t> point_counts;
  for (size_t i = 0; i < results.size(); ++i) {
    if (results[i].is_none()) continue;
    kept_results.append(results[i]);
    kept_records.append(records[i]);
    point_counts.push_back(static_cast<Py_ssize_t>(py::len(results[i].attr("matched_points"))));
  }

  // Stable, so images with equal counts stay in listing order.
  std::vector<size_t> order(point_counts.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return point_counts[a] > point_counts[b]; });

  py::list positions, ranked_results;
  for (size_t position : order) {
    positions.append(py::int_(position));
    ranked_results.append(kept_results[position]);
  }
  return py::make_tuple(head(positions, max_return), head(ranked_results, max_return),
                        kept_records);
}

}  // namespace sil
