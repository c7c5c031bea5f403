// The fourteen module functions: their names, parameters, annotations, docstrings and
// bodies, in the order in which start-up binds them.
#pragma once

#include <cstddef>

#include "module/python_helpers.h"

namespace sil {

// The exact built-in type a parameter must have on entry, if any.
enum class EntryCheck { kNone, kStr, kInt };

struct ParameterSpec {
  const char* name;
  const char* annotation;  // annotation text, or nullptr when the parameter has none
  EntryCheck check;
};

constexpr std::size_t kMaxParameters = 3;

// A body receives the bound arguments, one per parameter in declaration order.
using Body = py::object (*)(const Namespace& ns, const py::handle* args);

struct FunctionSpec {
  const char* name;
  std::size_t parameter_count;
  ParameterSpec parameters[kMaxParameters];
  const char* return_annotation;  // nullptr when the function declares no result type
  const char* doc;                // nullptr for no docstring
  bool has_default;               // the last parameter defaults to `default_value`
  long default_value;
  Body body;
};

// The table, in binding order.
const FunctionSpec* function_table(std::size_t* count);

}  // namespace sil
