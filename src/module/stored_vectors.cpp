#include "module/stored_vectors.h"

#include <algorithm>
#include <unordered_map>

#include "module/store_checksum.h"

namespace sil {
namespace {

// SQLite limits the number of parameters of one statement; lookups go in slices.
constexpr std::size_t kPathsPerQuery = 400;

struct Row {
  long long size, mtime_ns, ctime_ns, checksum;
  py::object vector;  // bytes or None
};

std::string in_query(std::size_t count) {
  std::string sql =
      "SELECT path, size, mtime_ns, ctime_ns, vector, checksum FROM vectors "
      "WHERE settings = ? AND path IN (";
  for (std::size_t i = 0; i < count; ++i) sql += i ? ",?" : "?";
  return sql + ")";
}

std::unordered_map<std::string, Row> rows_for(const py::object& connection,
                                               const std::string& settings,
                                               const std::vector<std::string>& paths) {
  std::unordered_map<std::string, Row> rows;
  for (std::size_t start = 0; start < paths.size(); start += kPathsPerQuery) {
    const std::size_t count = std::min(kPathsPerQuery, paths.size() - start);
    py::tuple parameters(count + 1);
    parameters[0] = py::str(settings);
    for (std::size_t i = 0; i < count; ++i) parameters[i + 1] = py::bytes(paths[start + i]);
    const py::list found =
        connection.attr("execute")(in_query(count), parameters).attr("fetchall")();
    for (py::handle row : found) {
      rows[row[py::int_(0)].cast<std::string>()] =
          Row{row[py::int_(1)].cast<long long>(), row[py::int_(2)].cast<long long>(),
              row[py::int_(3)].cast<long long>(), row[py::int_(5)].cast<long long>(),
              py::reinterpret_borrow<py::object>(row[py::int_(4)])};
    }
  }
  return rows;
}

// The array the loader would give for the stored bytes, or a null object when the entry
// does not hold what it claims.
py::object vector_of(const Row& row, Py_ssize_t length) {
  if (row.vector.is_none()) return row.checksum == store_checksum("") ? py::none() : py::object();
  if (!PyBytes_Check(row.vector.ptr())) return py::object();
  const auto bytes = py::reinterpret_borrow<py::bytes>(row.vector);
  const std::string_view view(bytes);
  if (static_cast<Py_ssize_t>(view.size()) != length || store_checksum(view) != row.checksum) {
    return py::object();
  }
  const py::module_ np = py::module_::import("numpy");
  return np.attr("frombuffer")(bytes, np.attr("uint8")).attr("copy")();
}

}  // namespace

std::vector<py::object> lookup_vectors(FeatureStore& store, const std::string& settings,
                                       const std::vector<std::optional<FileKey>>& keys,
                                       Py_ssize_t length) {
  std::vector<py::object> found(keys.size());
  std::vector<std::string> paths;
  for (const auto& key : keys) {
    if (key) paths.push_back(key->path);
  }
  std::unordered_map<std::string, Row> rows;
  if (paths.empty() ||
      !store.guarded([&](const py::object& connection) { rows = rows_for(connection, settings, paths); })) {
    return found;
  }
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (!keys[i]) continue;
    const auto row = rows.find(keys[i]->path);
    if (row == rows.end() || row->second.size != keys[i]->size ||
        row->second.mtime_ns != keys[i]->mtime_ns || row->second.ctime_ns != keys[i]->ctime_ns) {
      continue;
    }
    found[i] = vector_of(row->second, length);
  }
  return found;
}

bool is_uint8_array(py::handle value, long ndim) {
  const py::module_ np = py::module_::import("numpy");
  return py::type::handle_of(value).is(np.attr("ndarray")) &&
         py::object(value.attr("dtype")).equal(np.attr("dtype")("uint8")) &&
         value.attr("ndim").cast<long>() == ndim;
}

bool is_storable_vector(py::handle result, Py_ssize_t length) {
  if (result.is_none()) return true;
  return is_uint8_array(result, 1) && py::len(result) == static_cast<size_t>(length);
}

void store_vectors(FeatureStore& store, const std::string& settings,
                   const std::vector<std::pair<FileKey, py::object>>& entries) {
  if (entries.empty()) return;
  py::list rows;
  for (const auto& [key, result] : entries) {
    py::object vector = py::none();
    long long checksum = store_checksum("");
    if (!result.is_none()) {
      const py::bytes bytes = result.attr("tobytes")();
      checksum = store_checksum(std::string_view(bytes));
      vector = bytes;
    }
    rows.append(py::make_tuple(py::bytes(key.path), settings, key.size, key.mtime_ns,
                               key.ctime_ns, vector, checksum));
  }
  store.transaction([&](const py::object& connection) {
    connection.attr("executemany")(
        "INSERT OR REPLACE INTO vectors(path, settings, size, mtime_ns, ctime_ns, vector, "
        "checksum) VALUES (?, ?, ?, ?, ?, ?, ?)",
        rows);
  });
}

}  // namespace sil
