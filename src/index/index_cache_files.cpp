#include "index/index_cache_files.h"

#include "index/mapped_index.h"
#include "module/atomic_file.h"

namespace sil {

py::object row_manifest_path(const Namespace& ns) {
  py::object index_path = ns["os"].attr("fspath")(ns["CACHED_INDEXED"]);
  return index_path + py::str(".rows.json");
}

namespace {

py::list file_identity(const Namespace& ns, py::handle path) {
  py::object status = ns["os"].attr("stat")(path);
  py::list identity;
  for (const char* field : {"st_dev", "st_ino", "st_size", "st_mtime_ns"}) {
    identity.append(status.attr(field));
  }
  return identity;
}

}  // namespace

py::list write_index_file(const Namespace& ns, py::handle db) {
  AtomicReplacement replacement(ns["CACHED_INDEXED"]);
  // faiss writes by name: it replaces the content of the (empty) temporary file.
  ns["faiss"].attr("write_index")(db, replacement.temporary_path());
  // Taken before the rename: afterwards the name may already hold another writer's file.
  py::list identity = file_identity(ns, replacement.temporary_path());
  replacement.commit();
  release_kept_mapping();
  return identity;
}

CachedIndex read_index_file(const Namespace& ns) {
  py::object path = ns["CACHED_INDEXED"];
  py::list before = file_identity(ns, path);
  py::object db = read_index_mapped(ns, path);
  // The same identity before and after the read: the content read is that file's.
  const bool unchanged = comparison_holds(before, file_identity(ns, path), Py_EQ);
  return {db, unchanged ? py::object(before) : py::object(py::none())};
}

}  // namespace sil
