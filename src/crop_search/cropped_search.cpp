#include "module/python_helpers.h"

namespace sil {

py::object cropped_search(const Namespace& ns, const py::handle* args) {
  const py::handle crop_path = args[0];
  const py::handle folder = args[1];

  const py::object listing = ns["get_images_absolute_path_recursive_a_directory"](folder);
  const py::object records = steal_or_throw(PySequence_List(listing.ptr()));
  const std::vector<py::object> search =
      unpack_exactly(ns["live_search_similar_cropped"](crop_path, records), 3,
                     UnpackWording::kNeedMore);
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
