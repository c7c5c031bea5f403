#include "index/fingerprint_snapshot.h"

#include "module/atomic_file.h"
#include "module/closing_scope.h"
#include "module/regular_file.h"

namespace sil {
namespace {

std::optional<std::string> content_of(py::handle path) {
  py::object file = open_regular_file(path);
  if (file.is_none()) return std::nullopt;
  py::object content =
      with_open_file(file, [](const py::object& opened) { return opened.attr("read")(); });
  return std::string(py::reinterpret_borrow<py::bytes>(content));
}

}  // namespace

FingerprintSnapshot::FingerprintSnapshot(const Namespace& ns) {
  try {
    const py::object path = ns["CACHE_METADATA"];
    const py::object os_path = ns["os"].attr("path");
    target_ = is_true(os_path.attr("islink")(path)) ? os_path.attr("realpath")(path) : path;
    content_ = content_of(target_);
    taken_ = true;
  } catch (py::error_already_set& error) {
    // A setting that names no file the snapshot can read is left to the fingerprint check
    // itself to report; there is then nothing to put back.
    if (!error.matches(PyExc_Exception)) throw;
  }
}

void FingerprintSnapshot::restore() const noexcept {
  if (!taken_) return;
  try {
    if (content_of(target_) == content_) return;
    if (content_) {
      replace_file_contents(target_, *content_);
    } else {
      const py::object os = steal_or_throw(PyImport_ImportModule("os"));
      os.attr("remove")(target_);
    }
  } catch (...) {
    // Nothing more can be done here without hiding the error that failed the call.
  }
}

}  // namespace sil
