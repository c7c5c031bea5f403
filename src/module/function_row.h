// What the function type needs to know about one module function: its name, parameters,
// annotations, docstring, default and body. The table of all of them lives above the
// subsystems, in function_table.cpp, the one file that knows every body.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "module/python_helpers.h"

namespace sil {

// The exact built-in type a parameter must have on entry, if any.
enum class EntryCheck { kNone, kStr, kInt };

struct ParameterSpec {
  const char* name;
  const char* annotation = nullptr;  // annotation text, or nullptr when there is none
  EntryCheck check = EntryCheck::kNone;
};

// Calls bind their arguments on the stack, so a function takes at most this many; start-up
// refuses a table row with more.
constexpr std::size_t kMaxParameters = 8;

// A body receives the bound arguments, one per parameter in declaration order.
using BodyFunction = py::object(const Namespace& ns, const py::handle* args);
using Body = BodyFunction*;

struct FunctionSpec {
  const char* name;
  std::vector<ParameterSpec> parameters;
  const char* returns = nullptr;     // return annotation, or nullptr when none is declared
  const char* doc = nullptr;         // nullptr for no docstring
  std::optional<long> last_default;  // the default of the last parameter, if it has one
  Body body = nullptr;
};

// The module functions, in the order in which start-up binds them.
const std::vector<FunctionSpec>& function_table();

}  // namespace sil
