#include "module/image_filter.h"

#include "module/fast_roads.h"

namespace sil {

bool ImageTest::matches(py::handle path) {
  py::object re_module = ns_["re"];
  py::object pattern = ns_["FILE_EXTENSION_REGEX"];
  // Holding both objects keeps their identities from being reused by other objects.
  if (!checked_ || !re_module.is(re_module_) || !pattern.is(pattern_)) {
    // The standard re.search(pattern, s, flags) compiles the pattern through a cache, as
    // re.compile(pattern, flags) does, with the same errors for an invalid or precompiled
    // pattern, and searches with it.
    search_ =
        road_open(ns_, FastRoad::kCompiledPattern)
            ? py::object(
                  re_module.attr("compile")(pattern, re_module.attr("IGNORECASE")).attr("search"))
            : py::object();
    checked_ = true;
    re_module_ = std::move(re_module);
    pattern_ = std::move(pattern);
  }
  if (search_) return is_true(search_(path));
  return is_true(re_module_.attr("search")(pattern_, path, re_module_.attr("IGNORECASE")));
}

py::list image_records(const Namespace& ns, py::handle records) {
  const py::object iterator = steal_or_throw(PyObject_GetIter(records.ptr()));
  ImageTest is_image(ns);
  py::list images;
  while (PyObject* next = PyIter_Next(iterator.ptr())) {
    const py::object record = py::reinterpret_steal<py::object>(next);
    if (!is_image.matches(record.attr("image_path"))) continue;
    images.append(record);
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  return images;
}

}  // namespace sil
