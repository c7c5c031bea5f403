#include "module/file_key.h"

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
  struct stat status {};
  if (stat(absolute->c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  FileKey key;
  key.path = std::move(*absolute);
  key.size = static_cast<long long>(status.st_size);
  key.mtime_ns = static_cast<long long>(status.st_mtim.tv_sec) * 1000000000LL + status.st_mtim.tv_nsec;
  key.ctime_ns = static_cast<long long>(status.st_ctim.tv_sec) * 1000000000LL + status.st_ctim.tv_nsec;
  return key;
}

}  // namespace sil
