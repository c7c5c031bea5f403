#include "catalogue/walk_generator.h"
#include "module/image_filter.h"

namespace sil {

py::object absolute_path_recursive_a_directory(const Namespace& ns, const py::handle* args) {
  return make_walk_generator(ns, args[0]);
}

py::object get_images_absolute_path_recursive_a_directory(const Namespace& ns,
                                                          const py::handle* args) {
  return image_records(ns, ns["absolute_path_recursive_a_directory"](args[0]));
}

}  // namespace sil
