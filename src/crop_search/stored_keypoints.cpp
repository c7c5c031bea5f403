#include "crop_search/stored_keypoints.h"

#include "store/store_checksum.h"
#include "store/stored_rows.h"

namespace sil {
namespace {

// Raised whenever the way this module computes keypoints changes, so that entries made by an
// older build are not taken for the new work.
constexpr const char* kKeypointRecipe = "orb-default grey-read 1";

// height NULL: the picture could not be read. descriptors NULL: it has no keypoints.
// positions: float32 (x, y) of every keypoint, in the detector's order.
constexpr StoreColumn kKeypointColumns[] = {
    {"height", "INTEGER"},           {"width", "INTEGER"},
    {"positions", "BLOB"},           {"descriptors", "BLOB"},
    {"descriptor_width", "INTEGER"},
};

// The checksum of everything an entry claims, sizes and flags included.
long long entry_checksum(const KeypointEntry& entry) {
  if (!entry.readable) return store_checksum("unreadable");
  std::string text = std::to_string(entry.height) + "x" + std::to_string(entry.width);
  if (!entry.has_descriptors) return store_checksum(text + ";none");
  text += ";" + std::to_string(entry.descriptor_width) + ";";
  return store_checksum(entry.descriptors,
                        static_cast<std::uint64_t>(store_checksum(
                            entry.positions, static_cast<std::uint64_t>(store_checksum(text)))));
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

// The entry a row's payload (height, width, positions, descriptors, descriptor_width)
// describes.
KeypointEntry entry_of(const py::tuple& payload) {
  KeypointEntry entry;
  const py::object height = payload[0];
  entry.readable = !height.is_none();
  if (!entry.readable) return entry;
  entry.height = height.cast<long long>();
  entry.width = payload[1].cast<long long>();
  const py::object descriptors = payload[3];
  entry.has_descriptors = !descriptors.is_none();
  if (!entry.has_descriptors) return entry;
  entry.positions = payload[2].cast<std::string>();
  entry.descriptors = descriptors.cast<std::string>();
  entry.descriptor_width = payload[4].cast<long long>();
  return entry;
}

}  // namespace

const StoreTable kKeypointTable{"keypoints", kKeypointColumns};

std::string keypoint_settings(const Namespace& ns) {
  return std::string(kKeypointRecipe) +
         ";opencv=" + py::str(ns["cv2"].attr("__version__")).cast<std::string>();
}

std::optional<KeypointEntry> lookup_keypoints(FeatureStore& store, const std::string& settings,
                                              const FileKey& key) {
  const py::object found = lookup_rows(store, kKeypointTable, settings, {key})[0];
  if (!found) return std::nullopt;
  try {
    const py::tuple payload = py::reinterpret_borrow<py::tuple>(found);
    KeypointEntry entry = entry_of(payload);
    if (is_consistent(entry) && entry_checksum(entry) == payload[5].cast<long long>()) {
      return entry;
    }
  } catch (py::cast_error&) {
    // A column of the wrong type: the entry does not hold what it claims.
  }
  return std::nullopt;
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
  store_rows(store, kKeypointTable, settings,
             {{key, py::make_tuple(height, width, positions, descriptors, descriptor_width,
                                   entry_checksum(entry))}});
}

}  // namespace sil
