#include "crop_search/stored_keypoint_match.h"

#include <cstring>
#include <string>
#include <vector>

#include "crop_search/match_steps.h"
#include "crop_search/stored_keypoints.h"
#include "module/fast_roads.h"
#include "store/feature_store.h"
#include "store/file_key.h"

namespace sil {
namespace {

// The crop's side of the matching, kept for the next work item with the same crop file.
struct CropFeatures {
  py::object path;  // as given
  FileKey key;
  py::object shape;
  py::object descriptors;
};

// One per process: a pool worker serves work items of one crop. Never freed, so that it
// is not torn down after the interpreter.
CropFeatures* kept_crop = nullptr;

py::object orb_detect_and_compute(const Namespace& ns, py::handle picture) {
  return ns["cv2"].attr("ORB_create")().attr("detectAndCompute")(picture, py::none());
}

const CropFeatures* crop_features(const Namespace& ns, py::handle crop_path) {
  const std::optional<FileKey> key = file_key(crop_path);
  if (!key) return nullptr;
  if (kept_crop != nullptr && kept_crop->key == *key && kept_crop->path.equal(crop_path)) {
    return kept_crop;
  }
  const py::object crop = read_greyscale(ns, crop_path);
  const py::module_ np = py::module_::import("numpy");
  if (!py::type::handle_of(crop).is(np.attr("ndarray")) || crop.attr("ndim").cast<long>() != 2) {
    return nullptr;
  }
  const py::tuple features = orb_detect_and_compute(ns, crop);
  if (kept_crop == nullptr) kept_crop = new CropFeatures();
  *kept_crop = CropFeatures{py::reinterpret_borrow<py::object>(crop_path), *key, crop.attr("shape"),
                            features[1]};
  return kept_crop;
}

// Reads the picture and detects its keypoints. `descriptors` receives the detector's own
// array; `storable` says whether the entry describes it exactly.
KeypointEntry detect_picture(const Namespace& ns, py::handle image_path, py::object& descriptors,
                             bool& storable) {
  KeypointEntry entry;
  storable = true;
  descriptors = py::none();
  const py::object image = read_greyscale(ns, image_path);
  if (image.is_none()) return entry;
  entry.readable = true;
  const py::object shape = image.attr("shape");
  entry.height = shape[py::int_(0)].cast<long long>();
  entry.width = shape[py::int_(1)].cast<long long>();
  const py::tuple features = orb_detect_and_compute(ns, image);
  descriptors = features[1];
  entry.has_descriptors = has_descriptors(descriptors);
  if (!entry.has_descriptors) return entry;
  if (!is_uint8_array(descriptors, 2) || py::len(features[0]) != py::len(descriptors)) {
    storable = false;
  }
  // The keypoints' own float32 coordinates, (x, y) per keypoint, in one array.
  const py::object points = ns["cv2"].attr("KeyPoint_convert")(features[0]);
  entry.positions = points.attr("astype")("<f4").attr("tobytes")().cast<std::string>();
  if (storable) {
    entry.descriptors = descriptors.attr("tobytes")().cast<std::string>();
    entry.descriptor_width = descriptors.attr("shape")[py::int_(1)].cast<long long>();
  }
  return entry;
}

py::object stored_descriptors(const KeypointEntry& entry) {
  const py::module_ np = py::module_::import("numpy");
  const long long rows = static_cast<long long>(entry.descriptors.size()) / entry.descriptor_width;
  return np.attr("frombuffer")(py::bytes(entry.descriptors), np.attr("uint8"))
      .attr("reshape")(rows, entry.descriptor_width);
}

// (x, y) of keypoint `index`, each truncated toward zero as int() does on the detector's
// float coordinates.
py::tuple stored_position(const KeypointEntry& entry, long long index) {
  float xy[2];
  std::memcpy(xy, entry.positions.data() + index * sizeof(xy), sizeof(xy));
  return py::make_tuple(steal_or_throw(PyLong_FromDouble(static_cast<double>(xy[0]))),
                        steal_or_throw(PyLong_FromDouble(static_cast<double>(xy[1]))));
}

// The same decisions as live_search_find_matched, in the same order.
py::object match_entry(const Namespace& ns, py::handle image_path, const KeypointEntry& entry,
                       const py::object& image_descriptors, const CropFeatures& crop) {
  if (!entry.readable) return py::none();
  if (!crop_fits(crop.shape, py::make_tuple(entry.height, entry.width))) return py::none();
  if (!entry.has_descriptors || !has_descriptors(crop.descriptors)) return py::none();
  const py::sequence matches = match_descriptors(ns, image_descriptors, crop.descriptors);
  if (matches.size() == 0) return py::none();
  const long long keypoints = static_cast<long long>(entry.positions.size() / (2 * sizeof(float)));
  py::list matched_points;
  for (size_t position : order_by_distance(matches)) {
    const long long query_index = matches[position].attr("queryIdx").cast<long long>();
    if (query_index < 0 || query_index >= keypoints) {
      raise(PyExc_RuntimeError, "the matcher named a keypoint the picture does not have");
    }
    matched_points.append(stored_position(entry, query_index));
  }
  return ns["MatchedResult"](py::arg("image_path") = image_path,
                             py::arg("matched_points") = matched_points);
}

}  // namespace

std::optional<py::object> match_from_store(const Namespace& ns, py::handle image_path,
                                           py::handle crop_path) {
  if (!PyUnicode_CheckExact(image_path.ptr()) || !road_open(ns, FastRoad::kStoredKeypoints))
    return std::nullopt;
  const std::optional<FileKey> key = file_key(image_path);
  if (!key) return std::nullopt;
  const CropFeatures* crop = crop_features(ns, crop_path);
  if (crop == nullptr) return std::nullopt;

  const std::string settings = keypoint_settings(ns);
  FeatureStore store = FeatureStore::open(ns, kKeypointTable);
  std::optional<KeypointEntry> entry = lookup_keypoints(store, settings, *key);
  py::object descriptors;
  if (entry) {
    if (entry->has_descriptors) descriptors = stored_descriptors(*entry);
  } else {
    bool storable = false;
    try {
      entry = detect_picture(ns, image_path, descriptors, storable);
    } catch (py::error_already_set& error) {
      // The detector refuses some pictures (one a few pixels wide, say). Whether that fails
      // the search depends on the crop, so the plain road decides, as it would without a store.
      if (!error.matches(PyExc_Exception)) throw;
      return std::nullopt;
    }
    // Stored only when the file did not change while it was read.
    if (storable && is_unchanged(*key)) store_keypoints(store, settings, *key, *entry);
  }
  return match_entry(ns, image_path, *entry, descriptors, *crop);
}

}  // namespace sil
