// The fingerprint file as it was before a call changed it.
//
// The fingerprint check stores the new listing's fingerprint before the index is built. A
// build that then fails or is interrupted leaves the old index file in place, so the old
// fingerprint is put back with it: the cache files are as they were before the call, and
// the next call sees the change and builds.
#pragma once

#include <optional>
#include <string>

#include "module/python_helpers.h"

namespace sil {

class FingerprintSnapshot {
 public:
  // Reads the file at CACHE_METADATA (through a link, at the link's target, where the
  // fingerprint is written), or notes that there is none.
  explicit FingerprintSnapshot(const Namespace& ns);

  // Puts the file back as it was: the old content, replaced atomically, or no file when
  // there was none. Never raises: the error that made the call fail is the caller's to see.
  void restore() const noexcept;

  // Runs `work`; should it fail or be interrupted, puts the file back before the error goes on.
  template <typename Work>
  auto restoring_on_failure(Work work) const -> decltype(work()) {
    try {
      return work();
    } catch (...) {
      restore();
      throw;
    }
  }

 private:
  py::object target_;
  std::optional<std::string> content_;
  bool taken_ = false;
};

}  // namespace sil
