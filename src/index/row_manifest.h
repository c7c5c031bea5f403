// The row manifest kept beside the index file.
//
// The index file holds vectors only, and a build drops the files that gave no vector, so
// on its own it cannot say which file each row belongs to. The manifest records the listing
// the index was built from: a digest of every record's path and modification time in
// listing order (listing_digest.h), the number of rows, and the dropped files with their
// positions in that listing. The rows are then the listing without those positions. A
// reuse checks a listing in one pass that costs a digest, not a parsed row per file.
//
// It also records the identity of the index file it describes (device, inode, size,
// modification and change times in nanoseconds). Index file and manifest are replaced separately
// and without coordination by every process sharing the cache, so a reader checks that identity
// against the index file it actually read: an index and a manifest from different builds never pass
// together. (The identity costs one status query, where a digest of the stored vectors would cost a
// pass over every vector on every warm query.)
//
// File format (JSON, ASCII):
//   {"format": 4, "index_file": [dev, ino, size, mtime_ns, ctime_ns], "rows": row count,
//    "listing": digest, "dropped": [[position in the listing, path, mtime], ...]}
// A manifest of an older format describes nothing: the index is built again once.
#pragma once

#include <vector>

#include "module/python_helpers.h"

namespace sil {

// Writes the manifest of the index file `index_file` (its identity), built from `listing`
// without the records at the positions `dropped` (ascending), atomically, after the index
// file was written.
void write_row_manifest(const Namespace& ns, py::handle index_file, py::handle listing,
                        const std::vector<Py_ssize_t>& dropped);

// The records of `listing` that name the rows of `db`, in row order, when the manifest on
// disk was written for exactly this index file (`index_file`, its identity when read, or
// None) and this listing; None when it is missing, unreadable or describes another build.
py::object rows_of_cached_index(const Namespace& ns, py::handle db, py::handle index_file,
                                py::handle listing);

}  // namespace sil
