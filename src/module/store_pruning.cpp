#include "module/store_pruning.h"

#include <string>
#include <unordered_set>

#include "module/file_key.h"

namespace sil {
namespace {

constexpr const char* kTables[] = {"vectors", "keypoints"};

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
  const bool read = store.guarded([&](const py::object& connection) {
    for (const char* table : kTables) {
      const std::string sql = std::string("SELECT path FROM ") + table +
                              " WHERE path >= ? AND path < ?";
      const py::list paths = connection.attr("execute")(sql, py::make_tuple(py::bytes(prefix), py::bytes(end)))
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
    for (const char* table : kTables) {
      connection.attr("executemany")(std::string("DELETE FROM ") + table + " WHERE path = ?", stale);
    }
  });
}

}  // namespace sil
