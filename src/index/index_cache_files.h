// The files of the index cache: the index file at CACHED_INDEXED, the row manifest beside
// it, and the folder fingerprint at CACHE_METADATA that the catalogue keeps.
#pragma once

#include "module/python_helpers.h"

namespace sil {

// CACHED_INDEXED + ".rows.json": the row manifest that belongs to the index file.
py::object row_manifest_path(const Namespace& ns);

// Writes `db` with faiss.write_index to a temporary file beside CACHED_INDEXED and renames
// it into place, so a concurrent reader never sees a partial index and a failed write
// leaves the previous one.
void write_index_file(const Namespace& ns, py::handle db);

// Removes the fingerprint file, if any. Called when a build fails after the fingerprint
// of the new listing was stored, so that the next call builds instead of trusting it.
// Never raises: the build's own error is what the caller must see.
void forget_fingerprint(const Namespace& ns) noexcept;

}  // namespace sil
