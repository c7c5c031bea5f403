#include "index/index_cache_files.h"

#include "module/atomic_file.h"

namespace sil {

py::object row_manifest_path(const Namespace& ns) {
  py::object index_path = ns["os"].attr("fspath")(ns["CACHED_INDEXED"]);
  return index_path + py::str(".rows.json");
}

void write_index_file(const Namespace& ns, py::handle db) {
  AtomicReplacement replacement(ns["CACHED_INDEXED"]);
  // faiss writes by name: it replaces the content of the (empty) temporary file.
  ns["faiss"].attr("write_index")(db, replacement.temporary_path());
  replacement.commit();
}

void forget_fingerprint(const Namespace& ns) noexcept {
  try {
    ns["os"].attr("remove")(ns["CACHE_METADATA"]);
  } catch (py::error_already_set&) {
    // Already gone, or cannot be removed: neither may hide the build's error.
  } catch (...) {
  }
}

}  // namespace sil
