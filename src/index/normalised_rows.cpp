#include "index/normalised_rows.h"

#include "module/fast_roads.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace sil {
namespace {

// About this many bytes of FLOATTYPE rows are converted at a time.
constexpr Py_ssize_t kChunkBytes = Py_ssize_t{8} << 20;

// The C library keeps freed small blocks (each vector's data is one) in the process; give
// the pages of the vectors already added back before the index storage doubles, so that
// memory makes room for the larger storage instead of adding to it. (It walks the whole
// heap, so it is done at the doublings only, not after every chunk.)
void return_freed_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

void add_rows(const Namespace& ns, py::handle db, py::handle vectors) {
  py::object matrix = ns["np"].attr("array")(vectors).attr("astype")(ns["FLOATTYPE"]);
  ns["faiss"].attr("normalize_L2")(matrix);
  db.attr("add")(matrix);
}

Py_ssize_t rows_per_chunk(const Namespace& ns, const py::list& vectors) {
  const Py_ssize_t elements = static_cast<Py_ssize_t>(py::len(vectors[0]));
  const Py_ssize_t item_size =
      ns["np"].attr("dtype")(ns["FLOATTYPE"]).attr("itemsize").cast<Py_ssize_t>();
  const Py_ssize_t row_bytes = elements * item_size;
  return row_bytes > 0 && row_bytes < kChunkBytes ? kChunkBytes / row_bytes : 1;
}

}  // namespace

std::vector<RowChunk> chunk_ranges(Py_ssize_t rows, Py_ssize_t chunk_rows) {
  std::vector<RowChunk> ranges;
  if (rows <= 0) return ranges;
  if (chunk_rows < 1) chunk_rows = 1;
  // The smallest first chunk that reaches `rows` by doublings: rows / 2^k, rounded up,
  // for the first k that brings it within one chunk.
  Py_ssize_t doublings = 1, first = rows;
  while (first > chunk_rows) {
    doublings *= 2;
    first = (rows + doublings - 1) / doublings;
  }
  Py_ssize_t start = 0, full_at = first;
  while (start < rows) {
    Py_ssize_t stop = start + chunk_rows;
    if (stop > full_at) stop = full_at;
    if (stop > rows) stop = rows;
    ranges.push_back({start, stop, start > 0 && start * 2 == full_at});
    start = stop;
    if (stop == full_at) full_at *= 2;
  }
  return ranges;
}

void add_normalised_rows(const Namespace& ns, py::handle db, py::list vectors) {
  if (vectors.empty()) return;
  if (!road_open(ns, FastRoad::kChunkedRows)) {
    add_rows(ns, db, vectors);
    return;
  }
  PyObject* list = vectors.ptr();
  for (const RowChunk& chunk : chunk_ranges(PyList_GET_SIZE(list), rows_per_chunk(ns, vectors))) {
    if (chunk.storage_full) return_freed_memory();
    add_rows(ns, db, steal_or_throw(PyList_GetSlice(list, chunk.start, chunk.stop)));
    for (Py_ssize_t row = chunk.start; row < chunk.stop; ++row) {
      Py_INCREF(Py_None);
      PyList_SetItem(list, row, Py_None);
    }
  }
}

}  // namespace sil
