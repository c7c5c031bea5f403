// ORB keypoints in the feature store: for each picture, its grey size, keypoint positions
// and descriptors, or the fact that it could not be read or has no keypoints.
#pragma once

#include <optional>
#include <string>

#include "store/feature_store.h"
#include "store/file_key.h"

namespace sil {

struct KeypointEntry {
  bool readable = false;  // false: the greyscale read gave nothing
  long long height = 0;   // of the grey picture, when readable
  long long width = 0;
  bool has_descriptors = false;  // false: the detector found no keypoint
  std::string positions;         // float32 (x, y) per keypoint, detector order
  std::string descriptors;       // one row of `descriptor_width` bytes per keypoint
  long long descriptor_width = 0;
};

// Text naming what stored keypoints depend on besides their file (the detector, its default
// parameters and the greyscale read, through the OpenCV version).
std::string keypoint_settings(const Namespace& ns);

// The table the keypoints are kept in.
extern const StoreTable kKeypointTable;

// What the store holds for this exact file and `settings`; nothing when it holds nothing,
// or an entry that is inconsistent or fails its checksum.
std::optional<KeypointEntry> lookup_keypoints(FeatureStore& store, const std::string& settings,
                                              const FileKey& key);

// Stores the entry in its own transaction, replacing an older one of the same path.
// Failures are swallowed (see FeatureStore).
void store_keypoints(FeatureStore& store, const std::string& settings, const FileKey& key,
                     const KeypointEntry& entry);

}  // namespace sil
