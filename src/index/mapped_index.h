// Reading the cached index file by mapping it into memory instead of copying it.
//
// A flat index read with faiss.IO_FLAG_MMAP_IFC leaves its vectors in the file's pages:
// reading costs next to nothing whatever the file size, and the vectors stay in the page
// cache between queries. Such an index cannot change (faiss aborts the process on `add` or
// `reset` of a mapped index, and the pages are read-only), so the host is handed a
// copy-on-write index over it (copy_on_write_index.h). A file renamed over the cache file
// later leaves the mapping of the old one valid. The process keeps the last file it mapped
// mapped between calls, while it stays the same file with the same content
// (module/file_identity.h): every call hands out an index of its own over that one mapping.
#pragma once

#include "module/python_helpers.h"

namespace sil {

// The index stored at `path`: mapped when the module's `faiss` is the faiss package and the
// file holds an IndexFlatL2 that faiss can map, otherwise `faiss.read_index(path)` as is.
// A file that cannot be read fails with the plain read's error.
py::object read_index_mapped(const Namespace& ns, py::handle path);

// Lets go of the mapping kept between calls, so that a file this process has just replaced
// is not held on disk by it (instances handed out keep theirs).
void release_kept_mapping();

}  // namespace sil
