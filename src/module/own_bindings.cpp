#include "module/own_bindings.h"

namespace sil {
namespace {

// A copy of the namespace at the end of start-up. Only one interpreter per process loads
// the module, so process-wide storage is enough; it lives as long as the process.
PyObject* bound_at_startup = nullptr;
PyObject* json_dumps_at_startup = nullptr;

}  // namespace

void remember_own_bindings(PyObject* module_dict) {
  PyObject* copy = PyDict_Copy(module_dict);
  if (copy == nullptr) throw py::error_already_set();
  Py_XSETREF(bound_at_startup, copy);
  PyObject* json = PyDict_GetItemString(module_dict, "json");  // borrowed
  PyObject* dumps = json == nullptr ? nullptr : PyObject_GetAttrString(json, "dumps");
  if (dumps == nullptr) PyErr_Clear();
  Py_XSETREF(json_dumps_at_startup, dumps);
}

bool are_own_bindings(const Namespace& ns, std::initializer_list<const char*> names) {
  if (bound_at_startup == nullptr) return false;
  for (const char* name : names) {
    PyObject* now = PyDict_GetItemString(ns.dict(), name);  // borrowed
    PyObject* then = PyDict_GetItemString(bound_at_startup, name);
    if (now == nullptr || now != then) return false;
  }
  return true;
}

bool is_own_json_dumps(const Namespace& ns) {
  if (json_dumps_at_startup == nullptr || !are_own_bindings(ns, {"json"})) return false;
  PyObject* json = PyDict_GetItemString(ns.dict(), "json");  // borrowed
  PyObject* dumps = PyObject_GetAttrString(json, "dumps");
  if (dumps == nullptr) {
    PyErr_Clear();
    return false;
  }
  const bool own = dumps == json_dumps_at_startup;
  Py_DECREF(dumps);
  return own;
}

}  // namespace sil
