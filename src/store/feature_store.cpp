#include "store/feature_store.h"

#include "module/closing_scope.h"
#include "module/file_identity.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unordered_set>

namespace sil {
namespace {

constexpr const char* kFormat = "search_index_lib feature store 1";
// How long a writer waits for another process's transaction before it gives up on storing.
constexpr double kBusyTimeoutSeconds = 2.0;
// After the store stayed locked for a whole busy timeout, this process leaves it alone for a
// while, so that a store held by a stuck process costs one wait rather than one per file.
constexpr std::chrono::seconds kLockedBackOff{30};
std::chrono::steady_clock::time_point store_free_again{};
std::string locked_store_path;

// SQLite's result codes for a database another connection holds.
constexpr long kSqliteBusy = 5;
constexpr long kSqliteLocked = 6;

// The connection a process keeps between calls, so that a pool worker does not open the
// database once per work item. A forked child inherits the parent's, which it must never use
// or close (SQLite connections do not survive a fork), so the owner's pid is kept with it.
struct KeptConnection {
  PyObject* connection = nullptr;  // strong reference
  pid_t pid = 0;
  std::thread::id thread;
  std::string path;
  FileIdentity file;
  std::unordered_set<std::string> tables;  // known to exist in it
  bool in_use = false;
};
KeptConnection kept;

py::object sqlite3_module() { return py::module_::import("sqlite3"); }

// A failure that says the file is not a sound database of this store (not a database, a
// damaged page, a broken schema), as opposed to one that passes (locked, busy, read-only).
bool is_damage(const py::error_already_set& error) {
  const py::object sqlite3 = sqlite3_module();
  return error.matches(sqlite3.attr("DatabaseError")) &&
         !error.matches(sqlite3.attr("OperationalError"));
}

// Whether the store stayed locked by another connection for the whole busy timeout.
bool is_locked_out(const py::error_already_set& error) {
  try {
    const py::object code = py::getattr(error.value(), "sqlite_errorcode", py::none());
    if (code.is_none()) return false;
    const long primary = code.cast<long>() & 0xff;
    return primary == kSqliteBusy || primary == kSqliteLocked;
  } catch (py::error_already_set&) {
    return false;
  }
}

void back_off_if_locked_out(const py::error_already_set& error, const std::string& path) {
  if (!is_locked_out(error)) return;
  store_free_again = std::chrono::steady_clock::now() + kLockedBackOff;
  locked_store_path = path;
}

bool is_backing_off(const std::string& path) {
  return path == locked_store_path && std::chrono::steady_clock::now() < store_free_again;
}

struct FormatMismatch {};

void remove_store_files(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
}

// Runs `statements` in one immediate transaction.
template <typename Statements>
void in_transaction(const py::object& connection, Statements statements) {
  connection.attr("execute")("BEGIN IMMEDIATE");
  try {
    statements();
    connection.attr("execute")("COMMIT");
  } catch (...) {
    try {
      connection.attr("execute")("ROLLBACK");
    } catch (...) {
    }
    throw;
  }
}

void create_schema(const py::object& connection) {
  in_transaction(connection, [&] {
    connection.attr("execute")("CREATE TABLE IF NOT EXISTS store_format(version TEXT NOT NULL)");
    // Two processes may create a new store at once; only the first writes the format.
    connection.attr("execute")(
        "INSERT INTO store_format SELECT ? WHERE NOT EXISTS (SELECT 1 FROM store_format)",
        py::make_tuple(kFormat));
  });
}

bool has_table(const py::object& connection, const char* name) {
  const py::object found =
      connection
          .attr("execute")("SELECT count(*) FROM sqlite_master WHERE type='table' AND name=?",
                           py::make_tuple(name))
          .attr("fetchone")()[py::int_(0)];
  return found.cast<long long>() != 0;
}

std::string table_definition(const StoreTable& table) {
  std::string sql = std::string("CREATE TABLE IF NOT EXISTS ") + table.name +
                    "(path BLOB NOT NULL, settings TEXT NOT NULL, size INTEGER NOT NULL,"
                    " mtime_ns INTEGER NOT NULL, ctime_ns INTEGER NOT NULL";
  for (const StoreColumn& column : table.payload) {
    sql += std::string(", ") + column.name + " " + column.type;
  }
  return sql + ", checksum INTEGER NOT NULL, UNIQUE(path, settings))";
}

void ensure_table(const py::object& connection, const StoreTable& table) {
  if (has_table(connection, table.name)) return;
  in_transaction(connection, [&] { connection.attr("execute")(table_definition(table)); });
}

// Puts a new connection in WAL mode and checks (or creates) the format.
void prepare(const py::object& connection) {
  connection.attr("execute")("PRAGMA journal_mode=WAL").attr("fetchone")();
  // WAL with NORMAL synchronisation stays consistent after a crash; at worst the last
  // transactions are lost, which a cache can afford.
  connection.attr("execute")("PRAGMA synchronous=NORMAL");
  const py::object found =
      connection
          .attr("execute")(
              "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='store_format'")
          .attr("fetchone")()[py::int_(0)];
  if (found.cast<long long>() == 0) create_schema(connection);
  const py::list versions =
      connection.attr("execute")("SELECT version FROM store_format").attr("fetchall")();
  if (py::len(versions) != 1 || !py::str(kFormat).equal(versions[0][py::int_(0)])) {
    throw FormatMismatch{};
  }
}

// A prepared connection to the store at `path`; a damaged file or one of another format is
// replaced by a new store once. None when no usable connection can be had.
py::object connect(const std::string& path) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    py::object connection;
    try {
      connection = sqlite3_module().attr("connect")(
          py::bytes(path), py::arg("timeout") = kBusyTimeoutSeconds,
          py::arg("isolation_level") = py::none(), py::arg("check_same_thread") = false);
      prepare(connection);
      return connection;
    } catch (py::error_already_set& error) {
      if (!error.matches(PyExc_Exception)) throw;
      if (connection) close_quietly(connection);
      back_off_if_locked_out(error, path);
      if (!is_damage(error)) return py::none();
    } catch (const FormatMismatch&) {
      close_quietly(connection);
    }
    remove_store_files(path);
  }
  return py::none();
}

// Lets go of the kept connection: closed when this process opened it, abandoned (never
// touched) when it was inherited through a fork.
void drop_kept_connection() {
  if (kept.connection == nullptr) return;
  PyObject* connection = kept.connection;
  kept.connection = nullptr;
  kept.in_use = false;
  if (kept.pid == getpid()) {
    close_quietly(py::handle(connection));
    Py_DECREF(connection);
  }
}

bool kept_connection_serves(const std::string& path) {
  if (kept.connection == nullptr || kept.in_use || kept.pid != getpid() ||
      kept.thread != std::this_thread::get_id() || kept.path != path) {
    return false;
  }
  // The file may have been deleted or replaced by another process since.
  const std::optional<FileIdentity> now = FileIdentity::of_path(path);
  return now && now->same_file(kept.file);
}

}  // namespace

bool feature_store_enabled() {
  const char* setting = std::getenv("SEARCH_INDEX_LIB_FEATURE_STORE");
  if (setting == nullptr) return true;
  return std::strcmp(setting, "off") != 0 && std::strcmp(setting, "0") != 0;
}

FeatureStore FeatureStore::open(const Namespace& ns, const StoreTable& table) {
  return open_with(ns, &table);
}

FeatureStore FeatureStore::open(const Namespace& ns) { return open_with(ns, nullptr); }

FeatureStore FeatureStore::open_with(const Namespace& ns, const StoreTable* table) {
  if (!feature_store_enabled()) return FeatureStore();
  try {
    const std::string path = fs_encode(ns["CACHED_INDEXED"]) + ".features.sqlite";
    if (path.find('\0') != std::string::npos || is_backing_off(path)) return FeatureStore();
    if (kept_connection_serves(path)) {
      kept.in_use = true;
      FeatureStore store(py::reinterpret_borrow<py::object>(kept.connection), true);
      store.path_ = path;
      if (table != nullptr) store.declare(*table);
      return store;
    }
    const bool may_keep = kept.connection == nullptr || !kept.in_use || kept.pid != getpid();
    py::object connection = connect(path);
    if (connection.is_none()) return FeatureStore();
    const std::optional<FileIdentity> file = FileIdentity::of_path(path);
    const bool keep = may_keep && file.has_value();
    if (keep) {
      drop_kept_connection();
      kept.connection = py::object(connection).release().ptr();
      kept.pid = getpid();
      kept.thread = std::this_thread::get_id();
      kept.path = path;
      kept.file = *file;
      kept.tables.clear();
      kept.in_use = true;
    }
    FeatureStore store(std::move(connection), keep);
    store.path_ = path;
    if (table != nullptr) store.declare(*table);
    return store;
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_Exception)) throw;
  } catch (py::builtin_exception&) {
  }
  return FeatureStore();
}

void FeatureStore::declare(const StoreTable& table) {
  const bool kept_here = cached_ && kept.connection == connection_.ptr();
  if (kept_here && kept.tables.count(table.name) != 0) return;
  const bool declared =
      guarded([&](const py::object& connection) { ensure_table(connection, table); });
  if (declared && kept_here && kept.connection == connection_.ptr()) kept.tables.insert(table.name);
}

FeatureStore::FeatureStore(py::object connection, bool cached)
    : connection_(std::move(connection)), cached_(cached) {}

FeatureStore::FeatureStore(FeatureStore&& other) noexcept
    : connection_(std::move(other.connection_)),
      path_(std::move(other.path_)),
      cached_(other.cached_) {
  other.cached_ = false;
}

FeatureStore::~FeatureStore() {
  if (connection_) let_go();
}

void FeatureStore::let_go() noexcept {
  if (cached_) {
    if (kept.connection == connection_.ptr()) kept.in_use = false;
  } else {
    close_quietly(connection_);
  }
  cached_ = false;
  connection_ = py::object();
}

void FeatureStore::roll_back() noexcept {
  try {
    if (is_true(connection_.attr("in_transaction"))) connection_.attr("execute")("ROLLBACK");
  } catch (...) {
  }
}

void FeatureStore::give_up(const py::error_already_set& error) {
  back_off_if_locked_out(error, path_);
  const bool damaged = is_damage(error);
  if (cached_ && damaged && kept.connection == connection_.ptr()) {
    drop_kept_connection();
    cached_ = false;
    connection_ = py::object();
  } else {
    if (cached_) roll_back();
    let_go();
  }
  if (damaged) remove_store_files(path_);
}

void FeatureStore::give_up_quietly() {
  roll_back();
  let_go();
}

}  // namespace sil
