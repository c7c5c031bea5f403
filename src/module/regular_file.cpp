#include "module/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

namespace sil {
namespace {

// `path` in the file system's encoding, or nothing when it is no file-system path. With
// `raise_type_errors`, a value that is not a path at all raises instead.
std::optional<std::string> encoded_path(py::handle path, bool raise_type_errors) {
  try {
    return fs_encode(path);
  } catch (py::error_already_set& error) {
    if (raise_type_errors && !error.matches(PyExc_ValueError)) throw;
    return std::nullopt;  // a NUL character: no file has that name
  }
}

bool is_regular(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// A descriptor of the regular file at `path`, or -1. The status is checked before opening,
// so a device is never opened at all; the descriptor's own status is checked again in case
// the name was replaced in between, and the non-blocking flag keeps even that open from
// waiting for a pipe's writer. Runs without the interpreter's lock.
int open_regular_descriptor(const std::string& path) {
  if (!is_regular(path)) return -1;
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat opened;
  if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool names_special_file(py::handle path) {
  const std::optional<std::string> name = encoded_path(path, false);
  if (!name) return false;
  struct stat status;
  int failed;
  {
    py::gil_scoped_release unlocked;
    failed = stat(name->c_str(), &status);
  }
  return failed == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode);
}

py::object open_regular_file(py::handle path) {
  const std::optional<std::string> name = encoded_path(path, true);
  if (!name) return py::none();
  int fd;
  {
    py::gil_scoped_release unlocked;
    fd = open_regular_descriptor(*name);
  }
  if (fd < 0) return py::none();
  // Reads of a regular file never wait, whatever the flag says, so the descriptor serves as
  // it is; the file object owns it from here on.
  PyObject* file = PyFile_FromFd(fd, nullptr, "rb", -1, nullptr, nullptr, nullptr, 1);
  if (file == nullptr) {
    close(fd);
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(file);
}

}  // namespace sil
