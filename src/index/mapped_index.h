// Reading the cached index file by mapping it into memory instead of copying it.
//
// A flat index read with faiss.IO_FLAG_MMAP_IFC leaves its vectors in the file's pages:
// reading costs next to nothing whatever the file size, and the vectors stay in the page
// cache between queries. Such an index cannot change (faiss aborts the process on `add` or
// `reset` of a mapped index, and the pages are read-only), so the host is handed a subclass
// of faiss.IndexFlatL2 that copies its vectors into memory of its own before the first
// change; searching and writing it work directly on the mapping. The cache file itself is
// never written through the mapping, and a file renamed over it later leaves the mapping of
// the old one valid. The process keeps the last file it mapped mapped between calls, while
// it stays the same file (device, inode, size, modification and change times): every call
// hands out an instance of its own over that one mapping, and setting any of faiss's
// attributes on an instance (verbose, ntotal, ...) also first gives it an index of its own.
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
