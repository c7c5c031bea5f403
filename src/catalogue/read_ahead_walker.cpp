#include "catalogue/read_ahead_walker.h"

#include <chrono>
#include <utility>

namespace sil {
namespace {

// Files per batch: large enough that the lock is taken rarely, small enough that the
// records start soon.
constexpr std::size_t kBatchFiles = 512;
// Batches read ahead at most, so that a huge tree is not held in memory twice over.
constexpr std::size_t kMaxReadyBatches = 64;
// A wait for a slow file system ends this often, so that the caller can look at signals.
constexpr std::chrono::milliseconds kLongestWait(100);

}  // namespace

ReadAheadWalker::ReadAheadWalker(std::string listing_root, std::string record_root)
    : thread_(&ReadAheadWalker::walk, this, std::move(listing_root), std::move(record_root)) {}

ReadAheadWalker::~ReadAheadWalker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  emptied_.notify_all();
  thread_.join();
}

void ReadAheadWalker::walk(std::string listing_root, std::string record_root) {
  try {
    DirectoryWalker walker(std::move(listing_root), std::move(record_root));
    Batch batch;
    WalkedFile file;
    for (;;) {
      const bool found = walker.next(file);
      if (found) {
        batch.starts.push_back(batch.paths.size());
        batch.paths.append(file.path);
        batch.paths.push_back('\0');
        batch.last_modified.push_back(file.last_modified);
      }
      if ((!found || batch.starts.size() >= kBatchFiles) && !hand_over(batch, !found)) return;
      if (!found) return;
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::current_exception();
    finished_ = true;
    filled_.notify_all();
  }
}

// Queues the batch (waiting for room) and starts a new one. False when the walker is stopping.
bool ReadAheadWalker::hand_over(Batch& batch, bool last) {
  std::unique_lock<std::mutex> lock(mutex_);
  emptied_.wait(lock, [this] { return stopping_ || ready_.size() < kMaxReadyBatches; });
  if (stopping_) return false;
  if (!batch.starts.empty()) ready_.push_back(std::move(batch));
  batch = Batch{};
  finished_ = last;
  filled_.notify_all();
  return true;
}

ReadAheadWalker::Step ReadAheadWalker::next_of_current(WalkedFile& file) {
  if (next_ >= current_.starts.size()) return Step::kNotYet;
  file.path = std::string_view(current_.paths.data() + current_.starts[next_]);
  file.last_modified = current_.last_modified[next_];
  ++next_;
  return Step::kFile;
}

ReadAheadWalker::Step ReadAheadWalker::try_next(WalkedFile& file) {
  if (next_of_current(file) == Step::kFile) return Step::kFile;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ready_.empty()) {
      if (!finished_) return Step::kNotYet;
      if (failure_) std::rethrow_exception(failure_);
      return Step::kEnd;
    }
    current_ = std::move(ready_.front());
    ready_.pop_front();
  }
  emptied_.notify_all();
  next_ = 0;
  return next_of_current(file);
}

void ReadAheadWalker::wait_for_more() {
  std::unique_lock<std::mutex> lock(mutex_);
  filled_.wait_for(lock, kLongestWait, [this] { return finished_ || !ready_.empty(); });
}

}  // namespace sil
