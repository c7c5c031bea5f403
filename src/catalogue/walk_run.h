// Running one folder walk: the ImageData records of every file under a folder, in walk order,
// read from the file system lazily, one file per record asked for, since the host may act
// between records.
#pragma once

#include <memory>

#include "catalogue/directory_walker.h"
#include "module/python_helpers.h"

namespace sil {

class WalkRun {
 public:
  // Starts the walk of `folder` (str, bytes or path-like) now: its absolute form depends on
  // the working directory at this moment. `os` and, record by record, `ImageData` are the
  // namespace's.
  WalkRun(const Namespace& ns, py::handle folder);

  // The next record (new reference), or null at the end of the walk; errors are thrown.
  PyObject* next_record(const Namespace& ns);

 private:
  bool next_file(WalkedFile& file);

  std::unique_ptr<DirectoryWalker> walker_;
  py::object kwnames_;        // ("image_path", "last_modified")
  bool bytes_paths_ = false;  // a bytes folder gives bytes paths, as the os functions do
};

}  // namespace sil
