// A native top-down walk of a folder tree, listing each directory once and reading each
// file's status once. It yields the files in the order the directory listings return them,
// a directory's files before anything below it, the same order a default os.walk gives.
//
// Works on file-system encoded byte strings only and touches no Python object, so callers
// may run it with the interpreter lock released.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sil {

struct WalkedFile {
  std::string_view path;  // record path: valid until the next call of next()
  double last_modified;   // seconds since the epoch, as os.stat's st_mtime computes it
};

class DirectoryWalker {
 public:
  // `listing_root` is the folder as given (opened as the host would open it, relative to
  // the working directory); `record_root` is its absolute, normalised form, under which
  // the record paths are built.
  DirectoryWalker(std::string listing_root, std::string record_root);

  // Moves to the next file whose status can be read. False when the walk is over.
  bool next(WalkedFile& file);

 private:
  struct Directory {
    std::string listing_path;
    std::string record_path;
  };

  struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
  };

  bool open_next_directory();
  bool list(const Directory& directory);
  void push_subdirectories();

  // Whether a file's status may be read relative to the listed directory: true unless the
  // folder path has a ".." component, which the record paths resolve textually and the
  // listing resolves through the file system, so that the two may name different files.
  bool stat_in_listed_directory_;
  std::unique_ptr<DIR, DirCloser> listed_;  // the current directory, kept open for that
  std::vector<Directory> pending_;          // directories still to list, the next one last
  Directory current_;
  // Names of the current directory, each ended by a NUL, and where each one starts.
  std::string file_names_;
  std::vector<std::size_t> file_starts_;
  std::string subdirectory_names_;
  std::vector<std::size_t> subdirectory_starts_;
  std::size_t next_file_ = 0;
  bool has_current_ = false;
  std::string path_;  // the path of the file last returned
};

// os.path.join for two byte strings where `name` is a single relative component.
void append_component(std::string& path, std::string_view name);

// The double that os.stat gives as st_mtime for these seconds and nanoseconds.
double stat_time_seconds(long long seconds, long nanoseconds);

}  // namespace sil
