#include "store/file_key.h"

#include <sys/stat.h>

namespace sil {

std::optional<std::string> absolute_path(py::handle path) {
  try {
    // The real os module, not the namespace's: the key must not depend on what a host
    // binds there.
    static PyObject* os_path = nullptr;
    if (os_path == nullptr) {
      os_path = py::module_::import("os.path").release().ptr();
    }
    py::object absolute = py::reinterpret_borrow<py::object>(os_path).attr("abspath")(path);
    return fs_encode(absolute);
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_Exception)) throw;
    return std::nullopt;
  }
}

std::optional<FileKey> file_key(py::handle path) {
  std::optional<std::string> absolute = absolute_path(path);
  if (!absolute || absolute->find('\0') != std::string::npos) return std::nullopt;
  struct stat status{};
  if (stat(absolute->c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return FileKey{std::move(*absolute), FileIdentity::of(status)};
}

bool is_unchanged(const FileKey& key) {
  const std::optional<FileIdentity> now = FileIdentity::of_path(key.path);
  return now && now->same_content(key.identity);
}

}  // namespace sil
