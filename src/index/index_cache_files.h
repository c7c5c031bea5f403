// The files of the index cache: the index file at CACHED_INDEXED and the row manifest beside
// it. (The folder fingerprint at CACHE_METADATA is the catalogue's.)
#pragma once

#include "module/python_helpers.h"

namespace sil {

// CACHED_INDEXED + ".rows.json": the row manifest that belongs to the index file.
py::object row_manifest_path(const Namespace& ns);

// Which file a path named when it was read or written: its identity (module/file_identity.h)
// as [device, inode, size, mtime_ns, ctime_ns]. The writer takes it after the rename that puts
// the file in place, so it is the identity readers later see at CACHED_INDEXED.

// Writes `db` with faiss.write_index to a temporary file beside CACHED_INDEXED and renames
// it into place, so a concurrent reader never sees a partial index and a failed write
// leaves the previous one. Returns the identity of the file written.
py::list write_index_file(const Namespace& ns, py::handle db);

struct CachedIndex {
  py::object db;
  py::object identity;  // None when the file was replaced while it was being read
};

// The index stored at CACHED_INDEXED (mapped where possible, see mapped_index.h), with the
// identity of the file that was read.
CachedIndex read_index_file(const Namespace& ns);

}  // namespace sil
