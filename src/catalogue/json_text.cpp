#include "catalogue/json_text.h"

#include <cmath>

#include "catalogue/float_text.h"

namespace sil {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Printable ASCII that json writes as itself.
bool is_plain(Py_UCS4 c) { return c >= ' ' && c <= '~' && c != '\\' && c != '"'; }

void append_unicode_escape(std::string& out, Py_UCS4 unit) {
  const char escape[] = {'\\',
                         'u',
                         kHexDigits[(unit >> 12) & 0xf],
                         kHexDigits[(unit >> 8) & 0xf],
                         kHexDigits[(unit >> 4) & 0xf],
                         kHexDigits[unit & 0xf]};
  out.append(escape, sizeof escape);
}

// ensure_ascii escaping: short escapes for the usual control characters, \uXXXX (lower
// case) for the other control characters, DEL and everything beyond ASCII, and surrogate
// pairs for characters outside the basic plane.
void append_escaped(std::string& out, Py_UCS4 c) {
  switch (c) {
    case '\\': out.append("\\\\"); return;
    case '"': out.append("\\\""); return;
    case '\b': out.append("\\b"); return;
    case '\f': out.append("\\f"); return;
    case '\n': out.append("\\n"); return;
    case '\r': out.append("\\r"); return;
    case '\t': out.append("\\t"); return;
    default: break;
  }
  if (c >= 0x10000) {
    const Py_UCS4 offset = c - 0x10000;
    append_unicode_escape(out, 0xd800 | ((offset >> 10) & 0x3ff));
    append_unicode_escape(out, 0xdc00 | (offset & 0x3ff));
  } else {
    append_unicode_escape(out, c);
  }
}

void append_string(std::string& out, PyObject* text) {
  out.push_back('"');
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  if (PyUnicode_IS_ASCII(text)) {
    // The common case: copy runs of plain characters in one go.
    const char* data = static_cast<const char*>(PyUnicode_DATA(text));
    Py_ssize_t run = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
      if (is_plain(static_cast<unsigned char>(data[i]))) continue;
      out.append(data + run, i - run);
      append_escaped(out, static_cast<unsigned char>(data[i]));
      run = i + 1;
    }
    out.append(data + run, length - run);
  } else {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
      const Py_UCS4 c = PyUnicode_READ(kind, data, i);
      if (is_plain(c)) {
        out.push_back(static_cast<char>(c));
      } else {
        append_escaped(out, c);
      }
    }
  }
  out.push_back('"');
}

// json writes a finite float as float.__repr__ does, and the non-finite values as NaN,
// Infinity and -Infinity.
void append_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out.append("NaN");
  } else if (std::isinf(value)) {
    out.append(value > 0 ? "Infinity" : "-Infinity");
  } else {
    append_float_repr(out, value);
  }
}

bool append_value(std::string& out, PyObject* value) {
  if (PyUnicode_CheckExact(value)) {
    append_string(out, value);
  } else if (PyFloat_CheckExact(value)) {
    append_float(out, PyFloat_AS_DOUBLE(value));
  } else if (value == Py_None) {
    out.append("null");
  } else if (value == Py_True) {
    out.append("true");
  } else if (value == Py_False) {
    out.append("false");
  } else {
    return false;
  }
  return true;
}

bool append_dict(std::string& out, PyObject* dict) {
  if (!PyDict_CheckExact(dict)) return false;
  out.push_back('{');
  Py_ssize_t position = 0;
  PyObject* key;
  PyObject* value;
  bool first = true;
  while (PyDict_Next(dict, &position, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
    if (!first) out.append(", ");
    first = false;
    append_string(out, key);
    out.append(": ");
    if (!append_value(out, value)) return false;
  }
  out.push_back('}');
  return true;
}

}  // namespace

bool append_json_of_flat_dicts(PyObject* list, std::string& out) {
  if (!PyList_CheckExact(list)) return false;
  out.push_back('[');
  // Nothing here calls back into Python, so the list cannot change under the loop.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    if (i > 0) out.append(", ");
    if (!append_dict(out, PyList_GET_ITEM(list, i))) return false;
  }
  out.push_back(']');
  return true;
}

}  // namespace sil
