// A folder walk run on a thread of its own, ahead of whoever takes its files.
//
// Reading the status of every file is most of a walk's cost, and none of it needs the
// interpreter. When the records of a walk are consumed in one go and nothing of the host's
// runs between them, this walker reads the file system on a second thread while the
// interpreter's thread makes records of what is read already. It hands out the same files in
// the same order as DirectoryWalker, which it runs.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/directory_walker.h"

namespace sil {

class ReadAheadWalker {
 public:
  enum class Step { kFile, kEnd, kNotYet };

  ReadAheadWalker(std::string listing_root, std::string record_root);
  // Stops the walking thread and waits for it.
  ~ReadAheadWalker();
  ReadAheadWalker(const ReadAheadWalker&) = delete;
  ReadAheadWalker& operator=(const ReadAheadWalker&) = delete;

  // kFile with the next file when the thread has read that far, kEnd when the walk is over,
  // kNotYet when the thread has not got there: then wait_for_more() and ask again. The
  // file's path stays valid until the next call. Never blocks.
  Step try_next(WalkedFile& file);

  // Blocks until more files or the end are there, or a tenth of a second has passed. Call it
  // without the interpreter lock.
  void wait_for_more();

 private:
  struct Batch {
    std::string paths;                  // each path ended by a NUL
    std::vector<std::size_t> starts;    // where each path starts
    std::vector<double> last_modified;  // one per path
  };

  void walk(std::string listing_root, std::string record_root);
  bool hand_over(Batch& batch, bool last);
  Step next_of_current(WalkedFile& file);

  std::mutex mutex_;
  std::condition_variable filled_;   // a batch was added, or the walk ended
  std::condition_variable emptied_;  // a batch was taken, or the walker is stopping
  std::deque<Batch> ready_;          // batches read and not yet taken
  bool finished_ = false;            // the thread has handed over its last batch
  bool stopping_ = false;            // the owner is going away
  std::exception_ptr failure_;       // what ended the thread early (only failed allocations)

  Batch current_;  // the batch being handed out, owned by the consumer
  std::size_t next_ = 0;
  std::thread thread_;  // last, so that it starts once everything above is made
};

}  // namespace sil
