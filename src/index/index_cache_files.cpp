#include "index/index_cache_files.h"

#include "index/mapped_index.h"
#include "module/atomic_file.h"

namespace sil {

py::object row_manifest_path(const Namespace& ns) {
  py::object index_path = ns["os"].attr("fspath")(ns["CACHED_INDEXED"]);
  return index_path + py::str(".rows.json");
}

namespace {

FileIdentity identity_of(py::handle path) {
  const std::optional<FileIdentity> identity = FileIdentity::of_path(fs_encode(path));
  if (!identity) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw py::error_already_set();
  }
  return *identity;
}

}  // namespace

py::list write_index_file(const Namespace& ns, py::handle db) {
  AtomicReplacement replacement(ns["CACHED_INDEXED"]);
  // faiss writes by name: it replaces the content of the (empty) temporary file.
  ns["faiss"].attr("write_index")(db, replacement.temporary_path());
  const FileIdentity identity = replacement.commit();
  release_kept_mapping();
  return identity.as_list();
}

CachedIndex read_index_file(const Namespace& ns) {
  py::object path = ns["CACHED_INDEXED"];
  const FileIdentity before = identity_of(path);
  py::object db = read_index_mapped(ns, path);
  // The same file with the same content before and after the read: the content read is
  // that file's.
  const bool unchanged = before.same_content(identity_of(path));
  return {db, unchanged ? py::object(before.as_list()) : py::object(py::none())};
}

}  // namespace sil
