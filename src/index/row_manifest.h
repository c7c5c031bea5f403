// The row manifest kept beside the index file.
//
// The index file holds vectors only, and a build drops the files that gave no vector, so
// on its own it cannot say which file each row belongs to. The manifest records the listing
// the index was built from: every row's path and modification time, in row order, and the
// dropped files with their positions in that listing. It also records an MD5 digest of the
// index's stored vectors. Index file and manifest are replaced separately and without
// coordination by every process sharing the cache, so a reader checks the digest against the
// index it actually read: an index and a manifest from different builds never pass together
// (unless the two builds stored exactly the same vectors, when pairing them is harmless).
//
// File format (JSON, ASCII):
//   {"format": 1, "rows_md5": "<32 hex>", "rows": [[path, mtime], ...],
//    "dropped": [[position in the listing, path, mtime], ...]}
#pragma once

#include <vector>

#include "module/python_helpers.h"

namespace sil {

// Writes the manifest of `db`, built from `listing` without the records at the positions
// `dropped` (ascending), atomically, after the index file was written.
void write_row_manifest(const Namespace& ns, py::handle db, py::handle listing,
                        const std::vector<Py_ssize_t>& dropped);

// The records of `listing` that name the rows of `db`, in row order, when the manifest on
// disk was written for exactly this index and this listing; None when it is missing,
// unreadable or describes another build.
py::object rows_of_cached_index(const Namespace& ns, py::handle db, py::handle listing);

}  // namespace sil
