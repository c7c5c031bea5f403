// The feature store: per-file work kept in one SQLite database beside the index file, at
// CACHED_INDEXED + ".features.sqlite", so that searches redo work only for files that are
// new or changed. It is a cache and never a source of truth: whatever goes wrong with it
// (missing, locked, damaged, read-only, written by another version) the caller simply
// works without it, silently.
//
// The store knows files, not work: each part that keeps work here declares its own table
// (a StoreTable), and the store creates it when it is first used.
//
// Several processes share the file: it runs in WAL mode with a busy timeout, every write is
// one transaction, and a process killed while writing leaves the last committed state.
//
// The environment variable SEARCH_INDEX_LIB_FEATURE_STORE set to "off" (or "0") turns the
// store off; it is read at every use, so also by pool workers started later.
#pragma once

#include <sys/types.h>

#include <span>
#include <string>

#include "module/python_helpers.h"

namespace sil {

struct StoreColumn {
  const char* name;
  const char* type;  // SQL type and constraints
};

// A table of work per file. Every table starts with the file's key (path BLOB, settings
// TEXT: the recipe and versions the work depends on, then the file's size, mtime_ns and
// ctime_ns) and ends with a checksum of what the row claims; `payload` is what lies between.
// One row per (path, settings).
struct StoreTable {
  const char* name;
  std::span<const StoreColumn> payload;
};

// False when the environment turns the store off.
bool feature_store_enabled();

class FeatureStore {
 public:
  // The store for the namespace's CACHED_INDEXED, created when missing and recreated when
  // damaged or of another format, with `table` created in it when missing; an unusable
  // handle (false) when it is turned off or cannot be opened. Never raises an ordinary error.
  static FeatureStore open(const Namespace& ns, const StoreTable& table);
  // The same, for work on whatever tables the store holds (pruning).
  static FeatureStore open(const Namespace& ns);

  FeatureStore() = default;
  ~FeatureStore();
  FeatureStore(FeatureStore&& other) noexcept;
  FeatureStore& operator=(FeatureStore&&) = delete;
  FeatureStore(const FeatureStore&) = delete;

  explicit operator bool() const { return static_cast<bool>(connection_); }

  // Runs `use(connection)` and reports whether it finished. An ordinary error raised by the
  // store is swallowed; a damaged file is removed so that the next use starts afresh, and
  // the handle stops being usable.
  template <typename Use>
  bool guarded(Use use) {
    if (!connection_) return false;
    try {
      use(connection_);
      return true;
    } catch (py::error_already_set& error) {
      if (!error.matches(PyExc_Exception)) throw;  // interrupts and exits go on
      give_up(error);
    } catch (py::builtin_exception&) {
      give_up_quietly();
    }
    return false;
  }

  // Runs `write(connection)` inside one immediate transaction, committed at the end and
  // rolled back on error; false when anything failed.
  template <typename Write>
  bool transaction(Write write) {
    return guarded([&](const py::object& connection) {
      connection.attr("execute")("BEGIN IMMEDIATE");
      try {
        write(connection);
      } catch (...) {
        roll_back();
        throw;
      }
      connection.attr("execute")("COMMIT");
    });
  }

 private:
  FeatureStore(py::object connection, bool cached);
  static FeatureStore open_with(const Namespace& ns, const StoreTable* table);
  // Creates `table` when missing; the handle stops being usable when that fails.
  void declare(const StoreTable& table);
  void give_up(const py::error_already_set& error);
  void give_up_quietly();
  void roll_back() noexcept;
  // Hands a kept connection back for the next use, or closes any other; holds none after.
  void let_go() noexcept;

  py::object connection_;
  std::string path_;
  bool cached_ = false;  // the process keeps the connection for later calls
};

}  // namespace sil
