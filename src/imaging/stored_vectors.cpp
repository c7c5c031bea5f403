#include "imaging/stored_vectors.h"

#include <set>

#include "store/store_checksum.h"
#include "store/stored_rows.h"

namespace sil {
namespace {

// Raised whenever the way this module computes a vector changes, so that entries made by an
// older build are not taken for the new work.
constexpr const char* kVectorRecipe = "vector 1";

// vector: the image vector's bytes, or NULL for a file that gives none.
constexpr StoreColumn kVectorColumns[] = {{"vector", "BLOB"}};

std::string version_of(const char* module) {
  return py::str(py::module_::import(module).attr("__version__")).cast<std::string>();
}

// The picture formats that plugins from outside Pillow registered in this process (such as a
// HEIF opener), each with its package's version: Pillow's own formats go with Pillow's
// version. A file that gave no vector while its decoder was missing is read again once a
// plugin for it is registered, and a plugin's new version is not taken for the old one.
std::string plugin_decoders() {
  const py::dict open = py::module_::import("PIL.Image").attr("OPEN");
  const py::dict modules = py::module_::import("sys").attr("modules");
  std::set<std::string> decoders;
  for (const auto item : open) {
    const py::object factory = py::reinterpret_borrow<py::tuple>(item.second)[0];
    const std::string module =
        py::str(py::getattr(factory, "__module__", py::str(""))).cast<std::string>();
    if (module == "PIL" || module.rfind("PIL.", 0) == 0) continue;
    const std::string package = module.substr(0, module.find('.'));
    std::string version = "?";
    if (modules.contains(package)) {
      version = py::str(py::getattr(modules[package.c_str()], "__version__", py::str("?")))
                    .cast<std::string>();
    }
    decoders.insert(py::str(item.first).cast<std::string>() + ":" + package + "=" + version);
  }
  std::string text;
  for (const std::string& decoder : decoders) text += (text.empty() ? "" : ",") + decoder;
  return text;
}

// The array the loader would give for the stored bytes and checksum, or a null object when
// the entry does not hold what it claims.
py::object vector_of(const py::tuple& payload, Py_ssize_t length) {
  const py::object vector = payload[0];
  if (!PyLong_CheckExact(py::object(payload[1]).ptr())) return py::object();
  const long long checksum = payload[1].cast<long long>();
  if (vector.is_none()) return checksum == store_checksum("") ? py::none() : py::object();
  if (!PyBytes_Check(vector.ptr())) return py::object();
  const auto bytes = py::reinterpret_borrow<py::bytes>(vector);
  const std::string_view view(bytes);
  if (static_cast<Py_ssize_t>(view.size()) != length || store_checksum(view) != checksum) {
    return py::object();
  }
  const py::module_ np = py::module_::import("numpy");
  return np.attr("frombuffer")(bytes, np.attr("uint8")).attr("copy")();
}

}  // namespace

const StoreTable kVectorTable{"vectors", kVectorColumns};

std::optional<std::string> vector_settings(const Namespace& ns, Py_ssize_t* length) {
  const py::object side = ns["VECTOR_TENSOR_SIZE"];
  if (!PyLong_CheckExact(side.ptr())) return std::nullopt;
  const long long value = PyLong_AsLongLong(side.ptr());
  if (value == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (value <= 0 || value > 65535) return std::nullopt;
  *length = static_cast<Py_ssize_t>(value * value);
  return std::string(kVectorRecipe) + ";side=" + std::to_string(value) +
         ";pillow=" + version_of("PIL") + ";numpy=" + version_of("numpy") +
         ";plugins=" + plugin_decoders();
}

std::vector<py::object> lookup_vectors(FeatureStore& store, const std::string& settings,
                                       const std::vector<std::optional<FileKey>>& keys,
                                       Py_ssize_t length) {
  std::vector<py::object> found = lookup_rows(store, kVectorTable, settings, keys);
  for (py::object& entry : found) {
    if (entry) entry = vector_of(py::reinterpret_borrow<py::tuple>(entry), length);
  }
  return found;
}

bool is_storable_vector(py::handle result, Py_ssize_t length) {
  if (result.is_none()) return true;
  return is_uint8_array(result, 1) && py::len(result) == static_cast<size_t>(length);
}

void store_vectors(FeatureStore& store, const std::string& settings,
                   const std::vector<std::pair<FileKey, py::object>>& entries) {
  std::vector<std::pair<FileKey, py::tuple>> rows;
  rows.reserve(entries.size());
  for (const auto& [key, result] : entries) {
    if (result.is_none()) {
      rows.emplace_back(key, py::make_tuple(py::none(), store_checksum("")));
      continue;
    }
    const py::bytes bytes = result.attr("tobytes")();
    rows.emplace_back(key, py::make_tuple(bytes, store_checksum(std::string_view(bytes))));
  }
  store_rows(store, kVectorTable, settings, rows);
}

}  // namespace sil
