// The identity of a file as the feature store keys it: its absolute path and its identity
// (module/file_identity.h). The store keeps size, modification and change times with each
// entry, so a file rewritten, touched, replaced, or given other permissions gets another
// key, and work stored for it is not taken for the new content.
#pragma once

#include <optional>
#include <string>

#include "module/file_identity.h"
#include "module/python_helpers.h"

namespace sil {

struct FileKey {
  std::string path;  // absolute, normalised, in the file system's encoding
  FileIdentity identity;

  bool operator==(const FileKey& other) const {
    return path == other.path && identity.same_content(other.identity);
  }
  // Whether an entry stored with these size and times is of this file as it is now.
  bool describes(long long size, long long mtime_ns, long long ctime_ns) const {
    return identity.same_state({.size = size, .mtime_ns = mtime_ns, .ctime_ns = ctime_ns});
  }
};

// The key of the regular file that `path` (str, bytes or path-like) names now; nothing when
// it is not a path, does not exist, or is not a regular file. Never raises.
std::optional<FileKey> file_key(py::handle path);

// Whether the file at `key.path` is still that file in that state, so that work made from
// it may be stored under `key`. Never raises.
bool is_unchanged(const FileKey& key);

// os.path.abspath of `path`, file-system encoded; nothing when `path` is not a path.
// Never raises.
std::optional<std::string> absolute_path(py::handle path);

}  // namespace sil
