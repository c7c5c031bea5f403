#include "catalogue/image_filter.h"
#include "catalogue/walk_generator.h"

namespace sil {

py::object absolute_path_recursive_a_directory(const Namespace& ns, const py::handle* args) {
  return make_walk_generator(ns, args[0]);
}

py::object get_images_absolute_path_recursive_a_directory(const Namespace& ns,
                                                          const py::handle* args) {
  const py::object walk = ns["absolute_path_recursive_a_directory"](args[0]);
  const py::object records = steal_or_throw(PyObject_GetIter(walk.ptr()));
  ImageTest is_image(ns);
  py::list images;
  // The whole walk is consumed before anything is returned: no partial list on failure.
  while (PyObject* next = PyIter_Next(records.ptr())) {
    const py::object record = py::reinterpret_steal<py::object>(next);
    if (is_image.matches(record.attr("image_path"))) images.append(record);
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  return std::move(images);
}

}  // namespace sil
