#include "crop_search/crop_file_check.h"
#include "crop_search/match_ranking.h"
#include "module/process_pool.h"

namespace sil {

// Runs in a pool worker: reads the crop afresh for each image, so only two paths travel
// to the worker.
py::object live_search_process_image(const Namespace& ns, const py::handle* args) {
  const std::vector<py::object> payload = unpack_exactly(args[0], 2, UnpackWording::kNeedMore);
  const py::object& image_path = payload[0];
  const py::object& crop_path = payload[1];
  const py::object crop = ns["cv2"].attr("imread")(crop_path, 0);
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
  const py::list results = pool_map(ns, ns["live_search_process_image"], work_items);
  return rank_matched_results(results, records, max_return);
}

}  // namespace sil
