// Module definition and multi-phase start-up: the create step makes (or hands back) the
// one module object of the process, the exec step runs the module's top-level statements.
#include "module/function_object.h"
#include "module/function_row.h"
#include "module/imports.h"
#include "module/own_bindings.h"
#include "module/python_helpers.h"
#include "module/records.h"
#include "module/settings.h"

namespace sil {
namespace {

constexpr const char* kModuleName = "search_index_lib";

// Process-wide: static data of the shared library is shared by every interpreter, so the
// module is tied to the first interpreter that creates it.
int64_t owner_interpreter_id = -1;
PyObject* kept_module = nullptr;  // strong reference once created

int check_interpreter() {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return -1;
  if (owner_interpreter_id == -1) {
    owner_interpreter_id = id;
  } else if (owner_interpreter_id != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return -1;
  }
  return 0;
}

// Copies one attribute of the import spec onto the module; a missing one is skipped.
int copy_spec_attribute(PyObject* spec, const char* from, PyObject* module, const char* to,
                        bool skip_none) {
  PyObject* value = PyObject_GetAttrString(spec, from);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  int result = 0;
  if (!(skip_none && value == Py_None)) result = PyObject_SetAttrString(module, to, value);
  Py_DECREF(value);
  return result;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
  if (check_interpreter() < 0) return nullptr;
  if (kept_module != nullptr) return Py_NewRef(kept_module);
  PyObject* name = PyObject_GetAttrString(spec, "name");
  if (name == nullptr) return nullptr;
  PyObject* module = PyModule_NewObject(name);
  Py_DECREF(name);
  if (module == nullptr) return nullptr;
  if (copy_spec_attribute(spec, "loader", module, "__loader__", false) < 0 ||
      copy_spec_attribute(spec, "origin", module, "__file__", false) < 0 ||
      copy_spec_attribute(spec, "parent", module, "__package__", false) < 0 ||
      copy_spec_attribute(spec, "submodule_search_locations", module, "__path__", true) < 0 ||
      PyModule_AddObjectRef(module, "__builtins__", PyEval_GetBuiltins()) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

// Each function is bound as soon as it is made, in table order.
void bind_functions(PyObject* dict) {
  if (ready_function_type() < 0) throw py::error_already_set();
  py::str module_name(kModuleName);
  for (const FunctionSpec& spec : function_table()) {
    py::object function = steal_or_throw(make_function(spec, module_name.ptr(), dict));
    if (PyDict_SetItemString(dict, spec.name, function.ptr()) < 0) {
      throw py::error_already_set();
    }
  }
}

// The module's top-level statements, in order.
void run_top_level(PyObject* dict) {
  const Namespace ns(dict);
  import_module(dict, "json");
  import_module(dict, "logging");
  import_module(dict, "multiprocessing");
  import_module(dict, "re");
  import_names(dict, "dataclasses", {"dataclass"});
  import_names(dict, "hashlib", {"md5"});
  import_module(dict, "os");
  import_names(dict, "typing", {"Iterable", "List", "Optional", "Tuple", "Union"});
  import_module(dict, "numpy", "np");
  import_names(dict, "PIL", {"Image", "UnidentifiedImageError"});
  import_module(dict, "faiss");
  take_settings(dict);
  define_records(ns, dict);
  import_module(dict, "cv2");
  py::object logging = ns["logging"];
  logging.attr("basicConfig")(py::arg("level") = logging.attr("INFO"));
  import_names(dict, "multiprocessing", {"Pool"});
  bind_functions(dict);
  py::dict tests;
  if (PyDict_SetItemString(dict, "__test__", tests.ptr()) < 0) throw py::error_already_set();
  remember_own_bindings(dict);
}

int register_module(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  const int present = PyDict_Contains(modules, py::str(kModuleName).ptr());
  if (present < 0) return -1;
  return present ? 0 : PyDict_SetItemString(modules, kModuleName, module);
}

int exec_module(PyObject* module) {
  if (kept_module == module) return 0;  // already initialised: run nothing again
  if (kept_module != nullptr) {
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'search_index_lib' has already been imported. Re-initialisation is "
                    "not supported.");
    return -1;
  }
  kept_module = Py_NewRef(module);
  if (register_module(module) == 0) {
    try {
      run_top_level(PyModule_GetDict(module));
      return 0;
    } catch (...) {
      set_error_from_current_exception(PyExc_ImportError);
    }
  }
  // A failed start-up leaves nothing behind, so that the next import starts afresh.
  Py_CLEAR(kept_module);
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init search_index_lib");
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // The create step itself refuses any interpreter but the first, with its own message,
    // so the import machinery is allowed to reach it from a sub-interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    nullptr,  // no docstring
    0,        // no per-module state
    nullptr,  // functions are bound by the exec step, not from a method table
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace sil

PyMODINIT_FUNC PyInit_search_index_lib() { return PyModuleDef_Init(&sil::module_definition); }
