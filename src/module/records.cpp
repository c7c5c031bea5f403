#include "module/records.h"


namespace sil {
namespace {

// The ImageData class start-up made; kept for the life of the process, as the module is.
PyObject* own_image_data = nullptr;

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
  py::object record = type(name, py::make_tuple(py::reinterpret_borrow<py::object>(
                                      reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                           body);
  return ns["dataclass"](record);
}

}  // namespace

void define_records(const Namespace& ns, PyObject* module_dict) {
  py::dict dict = py::reinterpret_borrow<py::dict>(module_dict);
  dict["ImageData"] =
      define_record(ns, "ImageData", "image_path", "str", "last_modified", "Optional[float]");
  py::object image_data = dict["ImageData"];
  Py_XSETREF(own_image_data, Py_NewRef(image_data.ptr()));
  dict["MatchedResult"] = define_record(ns, "MatchedResult", "image_path", "str",
                                        "matched_points", "List[Tuple[int, int]]");
}

py::object make_own_image_record(py::handle path, py::handle last_modified) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(own_image_data);
  const py::tuple no_arguments;
  py::object record = steal_or_throw(type->tp_new(type, no_arguments.ptr(), nullptr));
  // The order in which __init__ assigns them: the order json.dumps writes them in.
  py::dict attributes;
  attributes["image_path"] = path;
  attributes["last_modified"] = last_modified;
  if (PyObject_GenericSetDict(record.ptr(), attributes.ptr(), nullptr) < 0) throw py::error_already_set();
  return record;
}

}  // namespace sil
