#include "catalogue/directory_walker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace sil {
namespace {

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

enum class EntryKind { kFile, kDirectory, kLinkToDirectory };

// What the walk does with an entry: a directory is descended, a link to a directory is
// neither descended nor listed, anything else is a file (including a dangling link, whose
// status then fails to read and which is dropped there). The kernel's entry type saves a
// status query for every entry except links and file systems that do not report types.
EntryKind classify(int directory_fd, const struct dirent* entry) {
  struct stat status;
  switch (entry->d_type) {
    case DT_DIR:
      return EntryKind::kDirectory;
    case DT_LNK:
      break;
    case DT_UNKNOWN:
      if (fstatat(directory_fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return EntryKind::kFile;
      }
      if (S_ISDIR(status.st_mode)) return EntryKind::kDirectory;
      if (!S_ISLNK(status.st_mode)) return EntryKind::kFile;
      break;
    default:
      return EntryKind::kFile;
  }
  if (fstatat(directory_fd, entry->d_name, &status, 0) == 0 && S_ISDIR(status.st_mode)) {
    return EntryKind::kLinkToDirectory;
  }
  return EntryKind::kFile;
}

void add_name(std::string& names, std::vector<std::size_t>& starts, const char* name) {
  starts.push_back(names.size());
  names.append(name);
  names.push_back('\0');
}

std::string_view name_at(const std::string& names, std::size_t start) {
  return std::string_view(names.data() + start);
}

}  // namespace

void append_component(std::string& path, std::string_view name) {
  if (!path.empty() && path.back() != '/') path.push_back('/');
  path.append(name);
}

double stat_time_seconds(long long seconds, long nanoseconds) {
  // Kept as two separate roundings (no fused multiply-add), as the interpreter computes
  // st_mtime, because the exact double ends up in the folder fingerprint.
  volatile double fraction = static_cast<double>(nanoseconds) * 1e-9;
  return static_cast<double>(seconds) + fraction;
}

bool has_parent_component(std::string_view path) {
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

DirectoryWalker::DirectoryWalker(std::string listing_root, std::string record_root)
    : stat_in_listed_directory_(!has_parent_component(listing_root)) {
  pending_.push_back({std::move(listing_root), std::move(record_root)});
}

bool DirectoryWalker::next(WalkedFile& file) {
  for (;;) {
    while (has_current_ && next_file_ < file_starts_.size()) {
      const std::string_view name = name_at(file_names_, file_starts_[next_file_++]);
      path_ = current_.record_path;
      append_component(path_, name);
      // A file that vanished since the listing, a dangling link or one that cannot be
      // read is left out, like a folder that cannot be listed.
      struct stat status;
      const int failed = listed_ ? fstatat(dirfd(listed_.get()), name.data(), &status, 0)
                                 : stat(path_.c_str(), &status);
      if (failed != 0) continue;
      file.path = path_;
      file.last_modified = stat_time_seconds(status.st_mtim.tv_sec, status.st_mtim.tv_nsec);
      return true;
    }
    if (!open_next_directory()) return false;
  }
}

bool DirectoryWalker::open_next_directory() {
  // Sub-directories are queued only once the directory's files are all handed out.
  if (has_current_) push_subdirectories();
  has_current_ = false;
  listed_.reset();
  while (!pending_.empty()) {
    current_ = std::move(pending_.back());
    pending_.pop_back();
    if (list(current_)) {
      has_current_ = true;
      return true;
    }
  }
  return false;
}

bool DirectoryWalker::list(const Directory& directory) {
  file_names_.clear();
  file_starts_.clear();
  subdirectory_names_.clear();
  subdirectory_starts_.clear();
  next_file_ = 0;
  // A folder that cannot be opened or read to the end is skipped with everything below it.
  std::unique_ptr<DIR, DirCloser> dir(opendir(directory.listing_path.c_str()));
  if (!dir) return false;
  const int fd = dirfd(dir.get());
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return false;
      if (stat_in_listed_directory_) listed_ = std::move(dir);
      return true;
    }
    if (is_dot_or_dot_dot(entry->d_name)) continue;
    switch (classify(fd, entry)) {
      case EntryKind::kFile:
        add_name(file_names_, file_starts_, entry->d_name);
        break;
      case EntryKind::kDirectory:
        add_name(subdirectory_names_, subdirectory_starts_, entry->d_name);
        break;
      case EntryKind::kLinkToDirectory:
        break;
    }
  }
}

void DirectoryWalker::push_subdirectories() {
  // Last pushed is listed first, so the first listed sub-directory is walked first.
  for (auto start = subdirectory_starts_.rbegin(); start != subdirectory_starts_.rend(); ++start) {
    const std::string_view name = name_at(subdirectory_names_, *start);
    Directory child{current_.listing_path, current_.record_path};
    append_component(child.listing_path, name);
    append_component(child.record_path, name);
    pending_.push_back(std::move(child));
  }
}

}  // namespace sil
