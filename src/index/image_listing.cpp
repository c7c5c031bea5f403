#include "index/image_listing.h"

#include "index/index_log.h"

namespace sil {

py::list image_listing(const Namespace& ns, py::handle folder) {
  py::object walk = ns["absolute_path_recursive_a_directory"](folder);
  py::list kept;
  for (py::handle record : walk) {
    // The pattern is read for every record, as the walk's own image filter does.
    py::object re = ns["re"];
    py::object match = re.attr("search")(ns["FILE_EXTENSION_REGEX"], record.attr("image_path"),
                                          re.attr("IGNORECASE"));
    if (is_true(match)) kept.append(record);
  }
  return kept;
}

}  // namespace sil
