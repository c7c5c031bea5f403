#include "module/imports.h"

#include <string>

namespace sil {
namespace {

// Absolute import through the host's import machinery, as an import statement does.
py::object import(PyObject* dict, const char* name, PyObject* fromlist) {
  py::str module_name(name);
  return steal_or_throw(
      PyImport_ImportModuleLevelObject(module_name.ptr(), dict, nullptr, fromlist, 0));
}

py::object take_name(const py::object& module, const char* module_name, const char* name) {
  PyObject* value = PyObject_GetAttrString(module.ptr(), name);
  if (value != nullptr) return py::reinterpret_steal<py::object>(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  // A submodule that the package does not bind as an attribute is still importable.
  const std::string full_name = std::string(module_name) + "." + name;
  PyObject* submodule = PyDict_GetItemString(PyImport_GetModuleDict(), full_name.c_str());
  if (submodule != nullptr) return py::reinterpret_borrow<py::object>(submodule);
  raise_format(PyExc_ImportError, "cannot import name %s", name);
}

}  // namespace

void import_module(PyObject* dict, const char* name, const char* alias) {
  py::object module = import(dict, name, nullptr);
  if (PyDict_SetItemString(dict, alias ? alias : name, module.ptr()) < 0) {
    throw py::error_already_set();
  }
}

void import_names(PyObject* dict, const char* module, std::initializer_list<const char*> names) {
  py::list fromlist;
  for (const char* name : names) fromlist.append(name);
  py::object source = import(dict, module, fromlist.ptr());
  for (const char* name : names) {
    py::object value = take_name(source, module, name);
    if (PyDict_SetItemString(dict, name, value.ptr()) < 0) throw py::error_already_set();
  }
}

}  // namespace sil
