#include "store/stored_rows.h"

#include <algorithm>
#include <unordered_map>

namespace sil {
namespace {

// SQLite limits the number of parameters of one statement; lookups go in slices.
constexpr std::size_t kPathsPerQuery = 400;
// Columns before the payload: path, settings, size, mtime_ns, ctime_ns.
constexpr std::size_t kKeyColumns = 5;

std::string payload_columns(const StoreTable& table) {
  std::string columns;
  for (const StoreColumn& column : table.payload) columns += std::string(column.name) + ", ";
  return columns + "checksum";
}

std::string lookup_query(const StoreTable& table, std::size_t count) {
  std::string sql = "SELECT path, size, mtime_ns, ctime_ns, " + payload_columns(table) + " FROM " +
                    table.name + " WHERE settings = ? AND path IN (";
  for (std::size_t i = 0; i < count; ++i) sql += i ? ",?" : "?";
  return sql + ")";
}

// Found rows by path: (path, size, mtime_ns, ctime_ns, payload..., checksum).
std::unordered_map<std::string, py::object> rows_for(const py::object& connection,
                                                     const StoreTable& table,
                                                     const std::string& settings,
                                                     const std::vector<std::string>& paths) {
  std::unordered_map<std::string, py::object> rows;
  for (std::size_t start = 0; start < paths.size(); start += kPathsPerQuery) {
    const std::size_t count = std::min(kPathsPerQuery, paths.size() - start);
    py::tuple parameters(count + 1);
    parameters[0] = py::str(settings);
    for (std::size_t i = 0; i < count; ++i) parameters[i + 1] = py::bytes(paths[start + i]);
    const py::list found =
        connection.attr("execute")(lookup_query(table, count), parameters).attr("fetchall")();
    for (py::handle row : found) {
      rows[row[py::int_(0)].cast<std::string>()] = py::reinterpret_borrow<py::object>(row);
    }
  }
  return rows;
}

}  // namespace

std::vector<py::object> lookup_rows(FeatureStore& store, const StoreTable& table,
                                    const std::string& settings,
                                    const std::vector<std::optional<FileKey>>& keys) {
  std::vector<py::object> found(keys.size());
  std::vector<std::string> paths;
  for (const auto& key : keys) {
    if (key) paths.push_back(key->path);
  }
  if (paths.empty()) return found;
  // Inside the guard: a row of the wrong types is damage like any other.
  store.guarded([&](const py::object& connection) {
    const std::unordered_map<std::string, py::object> rows =
        rows_for(connection, table, settings, paths);
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (!keys[i]) continue;
      const auto row = rows.find(keys[i]->path);
      if (row == rows.end()) continue;
      const py::tuple columns = py::reinterpret_borrow<py::tuple>(row->second);
      if (keys[i]->describes(columns[1].cast<long long>(), columns[2].cast<long long>(),
                             columns[3].cast<long long>())) {
        found[i] = columns[py::slice(4, static_cast<Py_ssize_t>(columns.size()), 1)];
      }
    }
  });
  return found;
}

void store_rows(FeatureStore& store, const StoreTable& table, const std::string& settings,
                const std::vector<std::pair<FileKey, py::tuple>>& rows) {
  if (rows.empty()) return;
  const std::size_t columns = kKeyColumns + table.payload.size() + 1;
  std::string sql = std::string("INSERT OR REPLACE INTO ") + table.name +
                    "(path, settings, size, mtime_ns, ctime_ns, " + payload_columns(table) +
                    ") VALUES (";
  for (std::size_t i = 0; i < columns; ++i) sql += i ? ", ?" : "?";
  sql += ")";
  py::list values;
  for (const auto& [key, payload] : rows) {
    py::tuple row = py::make_tuple(py::bytes(key.path), settings, key.identity.size,
                                   key.identity.mtime_ns, key.identity.ctime_ns);
    values.append(row + payload);
  }
  store.transaction(
      [&](const py::object& connection) { connection.attr("executemany")(sql, values); });
}

}  // namespace sil
