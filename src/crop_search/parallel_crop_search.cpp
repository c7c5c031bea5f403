#include "crop_search/crop_file_check.h"
#include "crop_search/match_ranking.h"
#include "crop_search/match_steps.h"
#include "crop_search/stored_keypoint_match.h"
#include "module/process_pool.h"

namespace sil {
namespace {

// A work item is (image path, crop path); the image is the file a worker works on.
py::object work_item_image(py::handle item) { return item[py::int_(0)]; }

}  // namespace

// Runs in a pool worker; only two paths travel to it. The picture's keypoints come from the
// feature store when it can serve them, and the crop's are then detected once per worker;
// otherwise the crop is read afresh and matched against the picture directly.
py::object live_search_process_image(const Namespace& ns, const py::handle* args) {
  const std::vector<py::object> payload = unpack_exactly(args[0], 2, UnpackWording::kNeedMore);
  const py::object& image_path = payload[0];
  const py::object& crop_path = payload[1];
  if (std::optional<py::object> result = match_from_store(ns, image_path, crop_path)) {
    return *result;
  }
  const py::object crop = read_greyscale(ns, crop_path);
  return ns["live_search_find_matched"](image_path, crop);
}

py::object live_search_similar_cropped(const Namespace& ns, const py::handle* args) {
  const py::handle crop_path = args[0];
  const py::handle max_return = args[2];
  ensure_crop_readable(ns, crop_path);

  // Taken into a list once, so that the work items and the filtered records come from the
  // same traversal even when the caller passed an iterator.
  const py::list records = steal_or_throw(PySequence_List(args[1].ptr()));
  py::list work_items;
  for (py::handle record : records) {
    work_items.append(py::make_tuple(record.attr("image_path"), crop_path));
  }
  const py::list results =
      pool_map(ns, ns["live_search_process_image"], work_items, work_item_image);
  return rank_matched_results(results, records, max_return);
}

}  // namespace sil
