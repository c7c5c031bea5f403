// The identity of an image file as the feature store keys it: its absolute path, size,
// and modification and status-change times in nanoseconds. A file rewritten, touched,
// replaced, or given other permissions gets another key, so work stored for it is not
// taken for the new content.
#pragma once

#include <optional>
#include <string>

#include "module/python_helpers.h"

namespace sil {

struct FileKey {
  std::string path;  // absolute, normalised, in the file system's encoding
  long long size = 0;
  long long mtime_ns = 0;
  long long ctime_ns = 0;

  bool operator==(const FileKey& other) const {
    return path == other.path && size == other.size && mtime_ns == other.mtime_ns &&
           ctime_ns == other.ctime_ns;
  }
};

// The key of the regular file that `path` (str, bytes or path-like) names now; nothing when
// it is not a path, does not exist, or is not a regular file. Never raises.
std::optional<FileKey> file_key(py::handle path);

// os.path.abspath of `path`, file-system encoded; nothing when `path` is not a path.
// Never raises.
std::optional<std::string> absolute_path(py::handle path);

}  // namespace sil
