#include "module/file_identity.h"

namespace sil {
namespace {

long long nanoseconds(const struct timespec& time) {
  return static_cast<long long>(time.tv_sec) * 1000000000LL + time.tv_nsec;
}

}  // namespace

FileIdentity FileIdentity::of(const struct stat& status) {
  FileIdentity identity;
  identity.device = static_cast<unsigned long long>(status.st_dev);
  identity.inode = static_cast<unsigned long long>(status.st_ino);
  identity.size = static_cast<long long>(status.st_size);
  identity.mtime_ns = nanoseconds(status.st_mtim);
  identity.ctime_ns = nanoseconds(status.st_ctim);
  return identity;
}

std::optional<FileIdentity> FileIdentity::of_path(const std::string& path) {
  struct stat status{};
  if (path.find('\0') != std::string::npos || stat(path.c_str(), &status) != 0) return std::nullopt;
  return of(status);
}

std::optional<FileIdentity> FileIdentity::of_descriptor(int fd) {
  struct stat status{};
  if (fstat(fd, &status) != 0) return std::nullopt;
  return of(status);
}

py::list FileIdentity::as_list() const {
  py::list fields;
  fields.append(py::int_(device));
  fields.append(py::int_(inode));
  fields.append(py::int_(size));
  fields.append(py::int_(mtime_ns));
  fields.append(py::int_(ctime_ns));
  return fields;
}

}  // namespace sil
