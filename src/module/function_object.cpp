#include "module/function_object.h"

#include <array>

#include "module/argument_binding.h"

namespace sil {
namespace {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionSpec* spec;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* annotations;
  PyObject* defaults;   // tuple, or None
  PyObject* globals;    // the module's namespace dict
  PyObject* dict;       // attributes the host sets on the function
  PyObject* signature;  // built on first request, or null
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* call_body(FunctionObject* self, PyObject* const* bound) {
  try {
    py::handle handles[kMaxParameters];
    for (std::size_t i = 0; i < self->spec->parameters.size(); ++i) handles[i] = bound[i];
    const Namespace ns(self->globals);
    return self->spec->body(ns, handles).release().ptr();
  } catch (...) {
    set_error_from_current_exception();
  }
  return nullptr;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  FunctionObject* self = as_function(callable);
  PyObject* defaults = self->defaults == Py_None ? nullptr : self->defaults;
  PyObject* bound[kMaxParameters];
  if (!bind_arguments(*self->spec, self->qualname, defaults, args, PyVectorcall_NARGS(nargsf),
                      kwnames, bound) ||
      !check_entry_types(*self->spec, bound)) {
    return nullptr;
  }
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject* result = call_body(self, bound);
  Py_LeaveRecursiveCall();
  return result;
}

// inspect.signature() and help() read this, so the signature shows as for a Python function.
PyObject* build_signature(FunctionObject* self) {
  try {
    py::module_ inspect = py::module_::import("inspect");
    py::object parameter = inspect.attr("Parameter");
    py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
    py::object empty = parameter.attr("empty");
    const FunctionSpec& spec = *self->spec;
    const std::size_t required =
        spec.parameters.size() - (self->defaults == Py_None ? 0 : PyTuple_GET_SIZE(self->defaults));
    py::list parameters;
    for (std::size_t i = 0; i < spec.parameters.size(); ++i) {
      const ParameterSpec& p = spec.parameters[i];
      py::object annotation = p.annotation ? py::object(py::str(p.annotation)) : empty;
      py::object default_value =
          i < required
              ? empty
              : py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(self->defaults, i - required));
      parameters.append(parameter(p.name, kind, py::arg("default") = default_value,
                                  py::arg("annotation") = annotation));
    }
    py::object returns =
        spec.returns ? py::object(py::str(spec.returns)) : inspect.attr("Signature").attr("empty");
    return inspect.attr("Signature")(parameters, py::arg("return_annotation") = returns)
        .release()
        .ptr();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

PyObject* get_signature(PyObject* self_object, void*) {
  FunctionObject* self = as_function(self_object);
  if (self->signature == nullptr) {
    self->signature = build_signature(self);
    if (self->signature == nullptr) return nullptr;
  }
  return Py_NewRef(self->signature);
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// Pickled by reference: the unpickler finds the function by module and qualified name,
// which is how process pools hand functions to their workers.
PyObject* function_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(as_function(self)->qualname);
}

// Like a static method: reading the function through a class gives the function itself.
// Being a descriptor is also what makes inspect and pydoc treat it as a routine.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Every object reference the function holds, for the collector's traverse and clear.
std::array<PyObject**, 9> references(FunctionObject* self) {
  return {&self->name,     &self->qualname, &self->module, &self->doc,      &self->annotations,
          &self->defaults, &self->globals,  &self->dict,   &self->signature};
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  for (PyObject** reference : references(as_function(self))) Py_VISIT(*reference);
  return 0;
}

int function_clear(PyObject* self) {
  for (PyObject** reference : references(as_function(self))) Py_CLEAR(*reference);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  function_clear(self);
  Py_TYPE(self)->tp_free(self);
}

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(FunctionObject, annotations), Py_READONLY,
     nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(FunctionObject, defaults), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject function_type = [] {
  PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
  type.tp_name = "search_index_lib.function";
  type.tp_basicsize = sizeof(FunctionObject);
  type.tp_dealloc = function_dealloc;
  type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  type.tp_repr = function_repr;
  type.tp_call = PyVectorcall_Call;
  type.tp_getattro = PyObject_GenericGetAttr;
  type.tp_setattro = PyObject_GenericSetAttr;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
  type.tp_traverse = function_traverse;
  type.tp_clear = function_clear;
  type.tp_methods = function_methods;
  type.tp_members = function_members;
  type.tp_getset = function_getset;
  type.tp_descr_get = function_descr_get;
  type.tp_dictoffset = offsetof(FunctionObject, dict);
  return type;
}();

PyObject* make_annotations(const FunctionSpec& spec) {
  try {
    py::dict annotations;
    for (const ParameterSpec& p : spec.parameters) {
      if (p.annotation != nullptr) annotations[p.name] = p.annotation;
    }
    if (spec.returns != nullptr) annotations["return"] = spec.returns;
    return annotations.release().ptr();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

PyObject* text_or_none(const char* text) {
  return text == nullptr ? Py_NewRef(Py_None) : PyUnicode_FromString(text);
}

}  // namespace

int ready_function_type() { return PyType_Ready(&function_type); }

PyObject* make_function(const FunctionSpec& spec, PyObject* module_name, PyObject* module_dict) {
  if (spec.parameters.size() > kMaxParameters) {
    PyErr_Format(PyExc_SystemError, "%s takes more than %zu parameters", spec.name, kMaxParameters);
    return nullptr;
  }
  FunctionObject* self = PyObject_GC_New(FunctionObject, &function_type);
  if (self == nullptr) return nullptr;
  self->vectorcall = function_vectorcall;
  self->spec = &spec;
  self->name = PyUnicode_FromString(spec.name);
  self->qualname = Py_XNewRef(self->name);
  self->module = Py_NewRef(module_name);
  self->doc = text_or_none(spec.doc);
  self->annotations = make_annotations(spec);
  self->defaults =
      spec.last_default ? Py_BuildValue("(l)", *spec.last_default) : Py_NewRef(Py_None);
  self->globals = Py_NewRef(module_dict);
  self->dict = nullptr;
  self->signature = nullptr;
  PyObject* object = reinterpret_cast<PyObject*>(self);
  if (self->name == nullptr || self->doc == nullptr || self->annotations == nullptr ||
      self->defaults == nullptr) {
    Py_DECREF(object);
    return nullptr;
  }
  PyObject_GC_Track(object);
  return object;
}

}  // namespace sil
