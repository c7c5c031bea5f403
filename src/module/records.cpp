#include "module/records.h"

namespace sil {
namespace {

// The same class a `class Name:` statement with two annotated fields makes, passed through
// `dataclass` with no options. Pickling finds it again by module and qualified name.
py::object define_record(const Namespace& ns, const char* name, const char* first_field,
                         const char* first_type, const char* second_field,
                         const char* second_type) {
  py::dict annotations;
  annotations[first_field] = first_type;
  annotations[second_field] = second_type;
  py::dict body;
  body["__module__"] = "search_index_lib";
  body["__qualname__"] = name;
  body["__annotations__"] = annotations;
  py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  py::object record = type(name,
                           py::make_tuple(py::reinterpret_borrow<py::object>(
                               reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                           body);
  return ns["dataclass"](record);
}

}  // namespace

void define_records(const Namespace& ns, PyObject* module_dict) {
  py::dict dict = py::reinterpret_borrow<py::dict>(module_dict);
  dict["ImageData"] =
      define_record(ns, "ImageData", "image_path", "str", "last_modified", "Optional[float]");
  dict["MatchedResult"] = define_record(ns, "MatchedResult", "image_path", "str", "matched_points",
                                        "List[Tuple[int, int]]");
}

}  // namespace sil
