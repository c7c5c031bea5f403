#include "module/argument_binding.h"

#include <string>
#include <vector>

namespace sil {
namespace {

Py_ssize_t find_parameter(const FunctionSpec& spec, PyObject* keyword) {
  for (std::size_t i = 0; i < spec.parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, spec.parameters[i].name) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

Py_ssize_t default_count(PyObject* defaults) {
  return defaults == nullptr ? 0 : PyTuple_GET_SIZE(defaults);
}

void raise_too_many_positional(const FunctionSpec& spec, PyObject* qualname, PyObject* defaults,
                               Py_ssize_t given) {
  const Py_ssize_t count = static_cast<Py_ssize_t>(spec.parameters.size());
  const Py_ssize_t defcount = default_count(defaults);
  std::string takes;
  bool plural = true;
  if (defcount > 0) {
    takes = "from " + std::to_string(count - defcount) + " to " + std::to_string(count);
  } else {
    takes = std::to_string(count);
    plural = count != 1;
  }
  PyErr_Format(PyExc_TypeError, "%U() takes %s positional argument%s but %zd %s given", qualname,
               takes.c_str(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists missing names.
std::string list_names(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    }
    text += std::string("'") + names[i] + "'";
  }
  return text;
}

void raise_missing(const FunctionSpec& spec, PyObject* qualname, Py_ssize_t required,
                   PyObject** bound) {
  std::vector<const char*> names;
  for (Py_ssize_t i = 0; i < required; ++i) {
    if (bound[i] == nullptr) names.push_back(spec.parameters[i].name);
  }
  PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %s", qualname,
               static_cast<Py_ssize_t>(names.size()), names.size() == 1 ? "" : "s",
               list_names(names).c_str());
}

const char* type_name(EntryCheck check) { return check == EntryCheck::kStr ? "str" : "int"; }

PyTypeObject* exact_type(EntryCheck check) {
  return check == EntryCheck::kStr ? &PyUnicode_Type : &PyLong_Type;
}

}  // namespace

bool bind_arguments(const FunctionSpec& spec, PyObject* qualname, PyObject* defaults,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
  const Py_ssize_t count = static_cast<Py_ssize_t>(spec.parameters.size());
  for (Py_ssize_t i = 0; i < count; ++i) bound[i] = nullptr;
  for (Py_ssize_t i = 0; i < nargs && i < count; ++i) bound[i] = args[i];

  // Keywords are matched before the positional count is judged, as for Python functions.
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(keyword)) {
      PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", qualname);
      return false;
    }
    const Py_ssize_t j = find_parameter(spec, keyword);
    if (j < 0) {
      PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", qualname,
                   keyword);
      return false;
    }
    if (bound[j] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", qualname,
                   keyword);
      return false;
    }
    bound[j] = args[nargs + k];
  }

  if (nargs > count) {
    raise_too_many_positional(spec, qualname, defaults, nargs);
    return false;
  }

  const Py_ssize_t defcount = default_count(defaults);
  const Py_ssize_t required = count - defcount;
  for (Py_ssize_t i = nargs; i < required; ++i) {
    if (bound[i] == nullptr) {
      raise_missing(spec, qualname, required, bound);
      return false;
    }
  }
  for (Py_ssize_t i = required; i < count; ++i) {
    if (bound[i] == nullptr) bound[i] = PyTuple_GET_ITEM(defaults, i - required);
  }
  return true;
}

bool check_entry_types(const FunctionSpec& spec, PyObject* const* bound) {
  for (std::size_t i = 0; i < spec.parameters.size(); ++i) {
    const EntryCheck check = spec.parameters[i].check;
    if (check == EntryCheck::kNone || Py_IS_TYPE(bound[i], exact_type(check))) continue;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 spec.parameters[i].name, type_name(check), Py_TYPE(bound[i])->tp_name);
    return false;
  }
  return true;
}

}  // namespace sil
