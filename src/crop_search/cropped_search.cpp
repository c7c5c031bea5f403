#include "module/fast_roads.h"
#include "module/python_helpers.h"
#include "store/store_pruning.h"

namespace sil {
namespace {

// Drops the stored keypoints of pictures that are no longer in the folder, while the store
// serves this module's own search of this module's own listing.
void prune_stored_keypoints(const Namespace& ns, py::handle folder, py::handle records) {
  if (!road_open(ns, FastRoad::kStoredKeypointPruning)) return;
  FeatureStore store = FeatureStore::open(ns);
  prune_folder(store, folder, records);
}

}  // namespace

py::object cropped_search(const Namespace& ns, const py::handle* args) {
  const py::handle crop_path = args[0];
  const py::handle folder = args[1];

  const py::object listing = ns["get_images_absolute_path_recursive_a_directory"](folder);
  const py::object records = steal_or_throw(PySequence_List(listing.ptr()));
  prune_stored_keypoints(ns, folder, records);
  const std::vector<py::object> search = unpack_exactly(
      ns["live_search_similar_cropped"](crop_path, records), 3, UnpackWording::kNeedMore);
  // The ranked positions index the records that gave a result, not the whole listing.
  const py::object& ranked_positions = search[0];
  const py::object& matched_records = search[2];

  py::list paths;
  for (py::handle position : ranked_positions) {
    paths.append(matched_records[position].attr("image_path"));
  }
  return paths;
}

}  // namespace sil
