// Which file a path names, and in which state: the one definition every part uses to decide
// whether a file it saw before is still the same one.
//
// Device and inode name the file itself; size and modification time are what writers
// change; the status-change time changes with every write, rename, link or permission change
// and cannot be set back, so a rewrite that puts size and modification time back (as
// `cp -p` or `rsync -t` do) is still seen.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

#include "module/python_helpers.h"

namespace sil {

struct FileIdentity {
  unsigned long long device = 0;
  unsigned long long inode = 0;
  long long size = 0;
  long long mtime_ns = 0;
  long long ctime_ns = 0;

  // The identity in a status the system gave for the file.
  static FileIdentity of(const struct stat& status);
  // The identity of the file `path` (file-system encoded) names now, after links; nothing
  // when it cannot be had.
  static std::optional<FileIdentity> of_path(const std::string& path);
  // The identity of the open file `fd`; nothing when it cannot be had.
  static std::optional<FileIdentity> of_descriptor(int fd);

  // The same file: same device and inode, whatever happened to its content.
  bool same_file(const FileIdentity& other) const {
    return device == other.device && inode == other.inode;
  }
  // The same file with the same content: nothing was written, renamed or changed since.
  bool same_content(const FileIdentity& other) const {
    return same_file(other) && same_state(other);
  }
  // What a file at a path unchanged since would keep: size, modification and change times.
  // For records that key a file by its path and keep no device or inode.
  bool same_state(const FileIdentity& other) const {
    return size == other.size && mtime_ns == other.mtime_ns && ctime_ns == other.ctime_ns;
  }

  // [device, inode, size, mtime_ns, ctime_ns], as files that record an identity keep it.
  py::list as_list() const;
};

}  // namespace sil
