#include "index/mapped_index.h"

#include <optional>
#include <string>

#include "index/copy_on_write_index.h"
#include "module/fast_roads.h"
#include "module/file_identity.h"

namespace sil {
namespace {

// Whether the mapped read stands in for exactly the call it replaces: the namespace's
// `faiss` is the module's own, and its read_index is faiss's own reader, which can map.
bool maps_index_files(const Namespace& ns, const py::object& faiss) {
  if (!road_open(ns, FastRoad::kMappedIndex) || !py::hasattr(faiss, "IO_FLAG_MMAP_IFC") ||
      !py::hasattr(faiss, "swigfaiss")) {
    return false;
  }
  return faiss.attr("read_index").is(faiss.attr("swigfaiss").attr("read_index"));
}

// The index file mapped last, kept mapped between calls while it stays the same file. Mapping
// it anew for every call would make every search fault the file's pages into the process
// again and every return tear them down: for 1.6 GB that cost more than the search itself.
// The pages are the file cache's, shared with every other process that maps the file.
struct KeptMapping {
  std::string path;   // as the file system names it
  FileIdentity file;  // the file's identity when it was mapped
  py::object mapped;  // faiss's mapped IndexFlatL2
};
KeptMapping* kept_mapping = nullptr;  // lives as long as the process

// faiss's index of the file at `path` read with the mapping flag, or None where the file is
// not a flat L2 index (the caller then reads it plainly). It may still hold its vectors in
// memory of its own, when faiss read rather than mapped it.
py::object mapped_file_index(const py::object& faiss, py::handle path) {
  py::object mapped;
  try {
    mapped = faiss.attr("read_index")(path, faiss.attr("IO_FLAG_MMAP_IFC"));
  } catch (py::error_already_set& error) {
    // A file faiss cannot map (or cannot read at all): the plain read decides.
    if (!error.matches(PyExc_RuntimeError)) throw;
    return py::none();
  }
  // Another kind of index may keep mapped parts the subclass does not guard.
  if (!py::type::of(mapped).is(faiss.attr("IndexFlatL2"))) return py::none();
  return mapped;
}

bool holds_own_vectors(const py::object& index) {
  return is_true(index.attr("codes").attr("is_owned"));
}

// The mapped index of `path`: the kept one while the file is the one it maps, otherwise a
// new mapping, which is kept instead.
py::object kept_or_new_mapping(const py::object& faiss, py::handle path) {
  std::string encoded = fs_encode(path);
  const std::optional<FileIdentity> file = FileIdentity::of_path(encoded);
  if (kept_mapping != nullptr && file && kept_mapping->path == encoded &&
      kept_mapping->file.same_content(*file)) {
    return kept_mapping->mapped;
  }
  py::object mapped = mapped_file_index(faiss, path);
  if (mapped.is_none() || holds_own_vectors(mapped) || !file) return mapped;
  const std::optional<FileIdentity> after = FileIdentity::of_path(encoded);
  if (!after || !after->same_content(*file)) return mapped;  // changed while mapped: not kept
  if (kept_mapping == nullptr) kept_mapping = new KeptMapping();
  *kept_mapping = KeptMapping{std::move(encoded), *file, mapped};
  return mapped;
}

}  // namespace

py::object read_index_mapped(const Namespace& ns, py::handle path) {
  py::object faiss = ns["faiss"];
  if (!maps_index_files(ns, faiss)) return faiss.attr("read_index")(path);
  py::object mapped = kept_or_new_mapping(faiss, path);
  if (mapped.is_none()) return faiss.attr("read_index")(path);
  if (holds_own_vectors(mapped)) return mapped;  // read, not mapped: faiss's own index as it is

  return copy_on_write_index(faiss.attr("IndexFlatL2"), mapped);
}

void release_kept_mapping() {
  if (kept_mapping != nullptr) *kept_mapping = KeptMapping{};
}

}  // namespace sil
