#include "module/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace sil {
namespace {

[[noreturn]] void raise_os_error(const py::object& filename) {
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
  throw py::error_already_set();
}

std::string random_suffix() {
  static std::random_device device;
  std::uniform_int_distribution<unsigned long> digits;
  char text[64];
  std::snprintf(text, sizeof text, ".%ld.%lx.tmp", static_cast<long>(getpid()), digits(device));
  return text;
}

}  // namespace

AtomicReplacement::AtomicReplacement(py::handle path) {
  target_ = steal_or_throw(PyOS_FSPath(path.ptr()));
  if (PyBytes_Check(target_.ptr())) {
    target_ = steal_or_throw(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(target_.ptr()),
                                                              PyBytes_GET_SIZE(target_.ptr())));
  }
  target_fs_ = fs_encode(target_);
  // The temporary name carries the target's name, so it lands in the same folder and
  // the final rename never crosses file systems. Mode 0666 lets the umask decide, as for
  // a file opened for writing.
  for (int attempt = 0; fd_ < 0; ++attempt) {
    temp_fs_ = target_fs_ + random_suffix();
    fd_ = open(temp_fs_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0 && (errno != EEXIST || attempt > 16)) raise_os_error(target_);
  }
  temp_ = steal_or_throw(PyUnicode_DecodeFSDefaultAndSize(temp_fs_.data(), temp_fs_.size()));
}

AtomicReplacement::~AtomicReplacement() {
  if (fd_ >= 0) close(fd_);
  if (!committed_) unlink(temp_fs_.c_str());
}

py::str AtomicReplacement::temporary_path() const { return py::str(temp_); }

void AtomicReplacement::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      raise_os_error(temp_);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

FileIdentity AtomicReplacement::commit() {
  // Another writer (faiss) may have replaced the file by name, so sync what the name holds.
  const int fd = open(temp_fs_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) raise_os_error(temp_);
  if (fsync(fd) < 0) {
    close(fd);
    raise_os_error(temp_);
  }
  if (rename(temp_fs_.c_str(), target_fs_.c_str()) < 0) {
    close(fd);
    raise_os_error(target_);
  }
  committed_ = true;
  // Taken through the open file: the name may already hold another writer's file.
  const std::optional<FileIdentity> identity = FileIdentity::of_descriptor(fd);
  close(fd);
  if (!identity) raise_os_error(target_);
  return *identity;
}

void replace_file_contents(py::handle path, std::string_view bytes) {
  AtomicReplacement replacement(path);
  replacement.write(bytes);
  replacement.commit();
}

}  // namespace sil
