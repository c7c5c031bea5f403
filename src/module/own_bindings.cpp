#include "module/own_bindings.h"

#include <cstring>
#include <string>

#include "module/fast_roads.h"

namespace sil {
namespace {

// A copy of the namespace at the end of start-up, plus an entry per dotted road name. Only
// one interpreter per process loads the module, so process-wide storage is enough; it lives
// as long as the process.
PyObject* bound_at_startup = nullptr;

// What the dotted `name` resolves to in `dict`: the module attribute, then each attribute
// after it. New reference, or null (no error set) when a step is missing. With `checked`,
// every step before the last must be start-up's own.
PyObject* resolve(PyObject* dict, const char* name, bool checked) {
  const char* dot = std::strchr(name, '.');
  if (dot == nullptr) return Py_XNewRef(PyDict_GetItemString(dict, name));
  const std::string head(name, dot);
  PyObject* object = Py_XNewRef(PyDict_GetItemString(dict, head.c_str()));
  if (object == nullptr) return nullptr;
  if (checked && object != PyDict_GetItemString(bound_at_startup, head.c_str())) {
    Py_DECREF(object);
    return nullptr;
  }
  std::string prefix = head;
  while (dot != nullptr) {
    const char* next = std::strchr(dot + 1, '.');
    const std::string attribute = next ? std::string(dot + 1, next) : std::string(dot + 1);
    PyObject* value = PyObject_GetAttrString(object, attribute.c_str());
    Py_DECREF(object);
    if (value == nullptr) {
      PyErr_Clear();
      return nullptr;
    }
    prefix += "." + attribute;
    if (checked && next != nullptr &&
        value != PyDict_GetItemString(bound_at_startup, prefix.c_str())) {
      Py_DECREF(value);
      return nullptr;
    }
    object = value;
    dot = next;
  }
  return object;
}

void remember_dotted(PyObject* copy, PyObject* module_dict, const char* name) {
  // Each prefix too, so that resolving checks every step.
  for (const char* dot = std::strchr(name, '.'); dot != nullptr; dot = std::strchr(dot + 1, '.')) {
    const std::string prefix(name, dot);
    if (prefix.find('.') == std::string::npos) continue;
    if (PyObject* value = resolve(module_dict, prefix.c_str(), false)) {
      PyDict_SetItemString(copy, prefix.c_str(), value);
      Py_DECREF(value);
    }
  }
  if (PyObject* value = resolve(module_dict, name, false)) {
    PyDict_SetItemString(copy, name, value);
    Py_DECREF(value);
  }
}

}  // namespace

void remember_own_bindings(PyObject* module_dict) {
  PyObject* copy = PyDict_Copy(module_dict);
  if (copy == nullptr) throw py::error_already_set();
  for (const FastRoadDeclaration& road : fast_road_declarations()) {
    for (const char* name : road.depends_on) {
      if (std::strchr(name, '.') != nullptr) remember_dotted(copy, module_dict, name);
    }
  }
  Py_XSETREF(bound_at_startup, copy);
}

bool are_own_bindings(const Namespace& ns, std::span<const char* const> names) {
  if (bound_at_startup == nullptr) return false;
  for (const char* name : names) {
    PyObject* then = PyDict_GetItemString(bound_at_startup, name);  // borrowed
    if (then == nullptr) return false;
    PyObject* now = resolve(ns.dict(), name, true);
    Py_XDECREF(now);  // only its identity is compared; `then` keeps it alive if it is the same
    if (now != then) return false;
  }
  return true;
}

}  // namespace sil
