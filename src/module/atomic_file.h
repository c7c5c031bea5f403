// Replacing a file as a whole: the new content goes to a temporary file beside the target,
// which is then renamed over it. A concurrent reader sees the old or the new file, never a
// partial one, and a failed write leaves the old file and no temporary file behind.
#pragma once

#include <string>
#include <string_view>

#include "module/file_identity.h"
#include "module/python_helpers.h"

namespace sil {

class AtomicReplacement {
 public:
  // Creates an empty temporary file in the folder of `path` (a str or path-like).
  explicit AtomicReplacement(py::handle path);
  ~AtomicReplacement();  // removes the temporary file unless commit() ran
  AtomicReplacement(const AtomicReplacement&) = delete;
  AtomicReplacement& operator=(const AtomicReplacement&) = delete;

  // Where a library that writes files by name (faiss.write_index) should write.
  py::str temporary_path() const;

  // Appends bytes to the temporary file.
  void write(std::string_view bytes);

  // Flushes the temporary file to disk and renames it over the target. Returns the identity
  // of the file now at the target's name as it is after the rename (which sets its change
  // time), unless another writer has replaced it since.
  FileIdentity commit();

 private:
  py::object target_;      // the target path as str
  std::string target_fs_;  // file-system encoded forms
  std::string temp_fs_;
  py::object temp_;
  int fd_ = -1;
  bool committed_ = false;
};

// Replaces the file at `path` with `bytes`, atomically.
void replace_file_contents(py::handle path, std::string_view bytes);

}  // namespace sil
