#include "store/store_pruning.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "store/file_key.h"

namespace sil {
namespace {

// Every table of work the store holds, whichever parts declared them.
std::vector<std::string> work_tables(const py::object& connection) {
  std::vector<std::string> tables;
  const py::list rows =
      connection
          .attr("execute")(
              "SELECT name FROM sqlite_master WHERE type='table' AND name != 'store_format'")
          .attr("fetchall")();
  for (py::handle row : rows) tables.push_back(row[py::int_(0)].cast<std::string>());
  return tables;
}

// SQLite quoting of a table name read from the database itself.
std::string quoted(const std::string& name) {
  std::string text = "\"";
  for (char c : name) text += c == '"' ? std::string("\"\"") : std::string(1, c);
  return text + "\"";
}

}  // namespace

void prune_folder(FeatureStore& store, py::handle folder, py::handle listing) {
  if (!store) return;
  const std::optional<std::string> root = absolute_path(folder);
  if (!root || root->empty()) return;
  // Paths under the folder sort from "<root>/" up to, not including, "<root>0" ('0' follows
  // '/'), so one range query finds them.
  std::string prefix = *root;
  if (prefix.back() != '/') prefix += '/';
  std::string end = prefix;
  end.back() = '0';

  std::unordered_set<std::string> listed;
  try {
    for (py::handle record : listing) {
      const std::optional<std::string> path = absolute_path(record.attr("image_path"));
      if (path) listed.insert(*path);
    }
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_Exception)) throw;
    return;  // a listing that cannot be read says nothing about what is gone
  }

  py::list stale;
  std::vector<std::string> tables;
  const bool read = store.guarded([&](const py::object& connection) {
    tables = work_tables(connection);
    for (const std::string& table : tables) {
      const std::string sql = "SELECT path FROM " + quoted(table) + " WHERE path >= ? AND path < ?";
      const py::list paths =
          connection.attr("execute")(sql, py::make_tuple(py::bytes(prefix), py::bytes(end)))
              .attr("fetchall")();
      for (py::handle row : paths) {
        if (listed.count(row[py::int_(0)].cast<std::string>()) == 0) {
          stale.append(py::make_tuple(row[py::int_(0)]));
        }
      }
    }
  });
  if (!read || stale.empty()) return;
  store.transaction([&](const py::object& connection) {
    for (const std::string& table : tables) {
      connection.attr("executemany")("DELETE FROM " + quoted(table) + " WHERE path = ?", stale);
    }
  });
}

}  // namespace sil
