#include "index/listing_digest.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace sil {
namespace {

// Bytes are handed to the hash in pieces of about this size.
constexpr std::size_t kFeedBytes = 1 << 20;

void append_bytes(std::string& buffer, const void* bytes, std::size_t size) {
  buffer.append(static_cast<const char*>(bytes), size);
}

void append_size(std::string& buffer, std::uint64_t size) {
  append_bytes(buffer, &size, sizeof size);
}

// A str in its canonical storage: CPython keeps every string in the narrowest character
// width that holds it, so equal strings have equal width and bytes. Paths with undecodable
// bytes (lone surrogates) are covered too, which an encoding to UTF-8 would refuse.
void append_text(std::string& buffer, char tag, PyObject* text) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  const int width = PyUnicode_KIND(text);
  buffer.push_back(tag);
  buffer.push_back(static_cast<char>(width));
  append_size(buffer, static_cast<std::uint64_t>(length));
  append_bytes(buffer, PyUnicode_DATA(text), static_cast<std::size_t>(length) * width);
}

void append_value(std::string& buffer, PyObject* value) {
  if (PyUnicode_CheckExact(value)) {
    append_text(buffer, 's', value);
  } else if (PyFloat_CheckExact(value)) {
    const double number = PyFloat_AS_DOUBLE(value);
    buffer.push_back('f');
    append_bytes(buffer, &number, sizeof number);
  } else if (value == Py_None) {
    buffer.push_back('n');
  } else {
    const py::object text = steal_or_throw(PyObject_Repr(value));
    append_text(buffer, 'r', text.ptr());
  }
}

}  // namespace

py::str listing_digest(py::handle listing) {
  // Not the module's `md5`: this digest is internal to the cache and must not change with
  // what a host binds in the namespace.
  py::object hash = py::module_::import("hashlib").attr("blake2b")(py::arg("digest_size") = 16);
  py::object update = hash.attr("update");
  const py::str path_name("image_path"), time_name("last_modified");
  std::string buffer;
  buffer.reserve(kFeedBytes + 4096);
  std::uint64_t count = 0;
  for (py::handle record : listing) {
    append_value(buffer, py::getattr(record, path_name).ptr());
    append_value(buffer, py::getattr(record, time_name).ptr());
    ++count;
    if (buffer.size() >= kFeedBytes) {
      update(py::bytes(buffer));
      buffer.clear();
    }
  }
  // The count closes the text, so no listing is a prefix of another.
  append_size(buffer, count);
  update(py::bytes(buffer));
  return hash.attr("hexdigest")();
}

}  // namespace sil
