#include "listing_check.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <string_view>

namespace py = pybind11;

namespace verified_match {
namespace {

struct Identity {
  unsigned long long device;
  unsigned long long inode;
  long long size;
  long long mtime_ns;
  long long ctime_ns;
};

// The identity of the regular file `path` names, as os.stat gives it; false when there is
// none (no such file, not a regular file, a name the file system cannot take).
bool identity_of(PyObject* path, Identity& identity) {
  PyObject* encoded = PyUnicode_EncodeFSDefault(path);
  if (encoded == nullptr) {
    PyErr_Clear();
    return false;
  }
  struct stat status;
  const char* name = PyBytes_AS_STRING(encoded);
  const bool embedded_nul =
      std::string_view(name, static_cast<size_t>(PyBytes_GET_SIZE(encoded))).find('\0') !=
      std::string_view::npos;
  const bool found = !embedded_nul && ::stat(name, &status) == 0 && S_ISREG(status.st_mode);
  Py_DECREF(encoded);
  if (!found) return false;
  identity = {
      static_cast<unsigned long long>(status.st_dev),
      static_cast<unsigned long long>(status.st_ino), static_cast<long long>(status.st_size),
      static_cast<long long>(status.st_mtim.tv_sec) * 1000000000LL + status.st_mtim.tv_nsec,
      static_cast<long long>(status.st_ctim.tv_sec) * 1000000000LL + status.st_ctim.tv_nsec};
  return true;
}

std::string identity_text(const Identity& identity) {
  char text[128];
  const int length =
      std::snprintf(text, sizeof text, "%llu/%llu/%lld/%lld/%lld", identity.device, identity.inode,
                    identity.size, identity.mtime_ns, identity.ctime_ns);
  return std::string(text, static_cast<size_t>(length));
}

// Whether the index's key for `number` is `prefix` followed by `identity`'s text.
bool key_matches(const py::list& keys, long number, std::string_view prefix,
                 const Identity& identity) {
  if (number < 0 || number >= static_cast<long>(keys.size())) return false;
  const py::handle entry = keys[static_cast<size_t>(number)];
  if (!PyTuple_Check(entry.ptr()) || PyTuple_GET_SIZE(entry.ptr()) < 1) return false;
  PyObject* key = PyTuple_GET_ITEM(entry.ptr(), 0);
  if (!PyUnicode_Check(key)) return false;
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &length);
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  const std::string_view stored(text, static_cast<size_t>(length));
  return stored.size() > prefix.size() && stored.substr(0, prefix.size()) == prefix &&
         stored.substr(prefix.size()) == identity_text(identity);
}

}  // namespace

py::tuple check_listing(py::list listing, py::dict numbers, py::list keys, py::str key_prefix) {
  const std::string prefix = key_prefix;
  py::list stale;
  py::list missing;
  for (const py::handle path : listing) {
    if (!PyUnicode_Check(path.ptr())) throw py::type_error("listed paths must be str");
    Identity identity;
    if (!identity_of(path.ptr(), identity)) {
      missing.append(path);
      continue;
    }
    PyObject* number = PyDict_GetItemWithError(numbers.ptr(), path.ptr());
    if (number == nullptr && PyErr_Occurred()) throw py::error_already_set();
    const long index = number == nullptr ? -1 : PyLong_AsLong(number);
    if (index == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (number != nullptr && key_matches(keys, index, prefix, identity)) continue;
    stale.append(py::make_tuple(path, py::make_tuple(identity.device, identity.inode, identity.size,
                                                     identity.mtime_ns, identity.ctime_ns)));
  }
  return py::make_tuple(stale, missing);
}

}  // namespace verified_match
