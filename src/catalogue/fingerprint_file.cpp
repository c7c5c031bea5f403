#include "module/atomic_file.h"
#include "module/closing_scope.h"

namespace sil {
namespace {

py::object read_text(const Namespace& ns, const py::object& path) {
  return with_open_file(ns["open"](path, "r"),
                        [](const py::object& file) { return file.attr("read")(); });
}

// The new fingerprint goes to a temporary file beside the old one, written in text mode as
// the old one was, and is renamed over it: a reader never sees an empty or half-written
// file, and a failed write keeps the old fingerprint. A link is replaced at its target,
// where writing through it would have gone.
void write_text_atomically(const Namespace& ns, const py::object& path, const py::object& text) {
  const py::object os_path = ns["os"].attr("path");
  const py::object target =
      is_true(os_path.attr("islink")(path)) ? os_path.attr("realpath")(path) : path;
  AtomicReplacement replacement(target);
  with_open_file(ns["open"](replacement.temporary_path(), "w"),
                 [&](const py::object& file) { return file.attr("write")(text); });
  replacement.commit();
}

}  // namespace

py::object is_images_in_dir_changed(const Namespace& ns, const py::handle* args) {
  const py::object hashed_metadata = ns["compute_md5_of_files"](args[0]);
  const py::object path = ns["CACHE_METADATA"];
  if (is_true(ns["os"].attr("path").attr("exists")(path))) {
    const py::object old_hashed_metadata = read_text(ns, path);
    if (comparison_holds(hashed_metadata, old_hashed_metadata, Py_EQ)) return py::bool_(false);
  }
  write_text_atomically(ns, path, hashed_metadata);
  return py::bool_(true);
}

}  // namespace sil
