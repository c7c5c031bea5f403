#include "module/stored_keypoints.h"

#include "module/store_checksum.h"

namespace sil {
namespace {

// The checksum of everything an entry claims, sizes and flags included.
long long entry_checksum(const KeypointEntry& entry) {
  if (!entry.readable) return store_checksum("unreadable");
  std::string text = std::to_string(entry.height) + "x" + std::to_string(entry.width);
  if (!entry.has_descriptors) return store_checksum(text + ";none");
  text += ";" + std::to_string(entry.descriptor_width) + ";";
  return store_checksum(entry.descriptors,
                        static_cast<std::uint64_t>(store_checksum(entry.positions,
                            static_cast<std::uint64_t>(store_checksum(text)))));
}

bool is_consistent(const KeypointEntry& entry) {
  if (!entry.readable || !entry.has_descriptors) return true;
  if (entry.positions.empty() || entry.positions.size() % (2 * sizeof(float)) != 0 ||
      entry.descriptor_width <= 0) {
    return false;
  }
  const long long count = static_cast<long long>(entry.positions.size() / (2 * sizeof(float)));
  return static_cast<long long>(entry.descriptors.size()) == count * entry.descriptor_width;
}

KeypointEntry entry_of(const py::handle row) {
  KeypointEntry entry;
  const py::object height = row[py::int_(3)];
  entry.readable = !height.is_none();
  if (!entry.readable) return entry;
  entry.height = height.cast<long long>();
  entry.width = row[py::int_(4)].cast<long long>();
  const py::object descriptors = row[py::int_(6)];
  entry.has_descriptors = !descriptors.is_none();
  if (!entry.has_descriptors) return entry;
  entry.positions = row[py::int_(5)].cast<std::string>();
  entry.descriptors = descriptors.cast<std::string>();
  entry.descriptor_width = row[py::int_(7)].cast<long long>();
  return entry;
}

}  // namespace

std::optional<KeypointEntry> lookup_keypoints(FeatureStore& store, const std::string& settings,
                                              const FileKey& key) {
  std::optional<KeypointEntry> found;
  store.guarded([&](const py::object& connection) {
    const py::object row =
        connection
            .attr("execute")(
                "SELECT size, mtime_ns, ctime_ns, height, width, positions, descriptors, "
                "descriptor_width, checksum FROM keypoints WHERE path = ? AND settings = ?",
                py::make_tuple(py::bytes(key.path), settings))
            .attr("fetchone")();
    if (row.is_none() || row[py::int_(0)].cast<long long>() != key.size ||
        row[py::int_(1)].cast<long long>() != key.mtime_ns ||
        row[py::int_(2)].cast<long long>() != key.ctime_ns) {
      return;
    }
    KeypointEntry entry = entry_of(row);
    if (is_consistent(entry) &&
        entry_checksum(entry) == row[py::int_(8)].cast<long long>()) {
      found = std::move(entry);
    }
  });
  return found;
}

void store_keypoints(FeatureStore& store, const std::string& settings, const FileKey& key,
                     const KeypointEntry& entry) {
  if (!is_consistent(entry)) return;
  py::object height = py::none(), width = py::none(), positions = py::none(),
             descriptors = py::none(), descriptor_width = py::none();
  if (entry.readable) {
    height = py::int_(entry.height);
    width = py::int_(entry.width);
    if (entry.has_descriptors) {
      positions = py::bytes(entry.positions);
      descriptors = py::bytes(entry.descriptors);
      descriptor_width = py::int_(entry.descriptor_width);
    }
  }
  const py::tuple row = py::make_tuple(py::bytes(key.path), settings, key.size, key.mtime_ns,
                                       key.ctime_ns, height, width, positions, descriptors,
                                       descriptor_width, entry_checksum(entry));
  store.transaction([&](const py::object& connection) {
    connection.attr("execute")(
        "INSERT OR REPLACE INTO keypoints(path, settings, size, mtime_ns, ctime_ns, height, "
        "width, positions, descriptors, descriptor_width, checksum) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
        row);
  });
}

}  // namespace sil
