// Putting image vectors into a new flat index as L2-normalised FLOATTYPE rows.
#pragma once

#include <vector>

#include "module/python_helpers.h"

namespace sil {

// Adds `vectors` (image vectors, one per row) to the empty index `db`: converted to
// FLOATTYPE, each row scaled to unit L2 length, row r of `db` from vectors[r].
//
// With the module's `np` and `faiss` being numpy and faiss, this goes in chunks of a few
// megabytes, so the build holds the index and the vectors not yet added, not also a whole
// converted matrix; entries of `vectors` are set to None once added, so what nobody else
// holds is freed as the build goes. Conversion and normalisation work row by row, so the
// rows are the same, bit for bit, as from one conversion of the whole matrix, which is what
// a host that rebinds those modules gets.
void add_normalised_rows(const Namespace& ns, py::handle db, py::list vectors);

// One chunk: rows [start, stop), and whether the index storage is full when it comes.
struct RowChunk {
  Py_ssize_t start, stop;
  bool storage_full;
};

// The chunks for `rows` rows, at most `chunk_rows` each. faiss keeps the rows in storage
// that doubles when it is full; the first chunk is sized so that, filled chunk by chunk,
// the storage is exactly full at each doubling and the last doubling comes when it holds
// half of the final rows: it then copies as little as possible while the vectors not yet
// added are still held.
std::vector<RowChunk> chunk_ranges(Py_ssize_t rows, Py_ssize_t chunk_rows);

}  // namespace sil
