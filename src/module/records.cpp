#include "module/records.h"

#include "module/own_bindings.h"

namespace sil {
namespace {

// The ImageData class start-up made and the __init__ dataclass gave it; kept for the life
// of the process, as the module is.
PyObject* own_image_data = nullptr;
PyObject* own_image_data_init = nullptr;

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
  Py_XSETREF(own_image_data_init, Py_XNewRef(PyDict_GetItemString(
      reinterpret_cast<PyTypeObject*>(image_data.ptr())->tp_dict, "__init__")));
  dict["MatchedResult"] = define_record(ns, "MatchedResult", "image_path", "str",
                                        "matched_points", "List[Tuple[int, int]]");
}

bool is_own_unchanged_image_record(const Namespace& ns) {
  if (own_image_data == nullptr || own_image_data_init == nullptr ||
      !are_own_bindings(ns, {"ImageData"})) {
    return false;
  }
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(own_image_data);
  // A dataclass may have been given another __init__, or the class a __new__ or __setattr__.
  PyObject* own = type->tp_dict;
  return Py_IS_TYPE(own_image_data, &PyType_Type) &&
         PyDict_GetItemString(own, "__init__") == own_image_data_init &&
         PyDict_GetItemString(own, "__new__") == nullptr &&
         PyDict_GetItemString(own, "__setattr__") == nullptr &&
         type->tp_new == PyBaseObject_Type.tp_new && type->tp_setattro == PyObject_GenericSetAttr;
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
