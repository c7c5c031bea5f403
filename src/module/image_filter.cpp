#include "module/image_filter.h"

namespace sil {

bool ImageTest::matches(py::handle path) {
  py::object re_module = ns_["re"];
  py::object pattern = ns_["FILE_EXTENSION_REGEX"];
  // Holding both objects keeps their identities from being reused by other objects.
  if (!search_ || !re_module.is(re_module_) || !pattern.is(pattern_)) {
    // re.compile(pattern, flags) is the compilation re.search(pattern, s, flags) does,
    // with the same errors for an invalid or precompiled pattern.
    search_ = re_module.attr("compile")(pattern, re_module.attr("IGNORECASE")).attr("search");
    re_module_ = std::move(re_module);
    pattern_ = std::move(pattern);
  }
  return is_true(search_(path));
}

py::list image_records(const Namespace& ns, py::handle records) {
  const py::object iterator = steal_or_throw(PyObject_GetIter(records.ptr()));
  ImageTest is_image(ns);
  py::list images;
  while (PyObject* next = PyIter_Next(iterator.ptr())) {
    const py::object record = py::reinterpret_steal<py::object>(next);
    if (is_image.matches(record.attr("image_path"))) images.append(record);
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  return images;
}

}  // namespace sil
