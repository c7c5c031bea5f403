// Searching a large flat L2 index for a few queries on several threads.
//
// faiss shares the work of a flat search out by query, so a single query scans all rows on
// one thread: against 100,000 pictures one core reads 1.6 GB while the others wait. Here the
// rows are cut into one range per thread and every range is searched by faiss's own
// knn_L2sqr, the function IndexFlatL2.search runs, which computes each row's distance the same
// way whatever range the row is in. The ranges' nearest rows are merged by distance, then by
// row number, which is how faiss orders equal distances too, so the results are faiss's, bit
// for bit. Where a distance is not a number, or overflowed, the answer is left to faiss's own
// search.
#pragma once

#include "module/python_helpers.h"

namespace sil {

// (distances, labels) of `index.search(x, k)` for an IndexFlatL2 `index`, when this search
// applies (x a float32 C-ordered matrix of few rows, a large index, several threads allowed by
// faiss.omp_get_max_threads()); otherwise None, and the caller searches as usual.
py::object search_rows_in_parallel(py::handle index, py::handle x, py::handle k);

}  // namespace sil
