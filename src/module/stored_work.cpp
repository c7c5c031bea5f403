#include "module/stored_work.h"

#include <set>

#include "module/feature_store.h"
#include "module/own_bindings.h"

namespace sil {
namespace {

// Raised whenever the way this module computes a vector or keypoints changes, so that
// entries made by an older build are not taken for the new work.
constexpr const char* kVectorRecipe = "vector 1";
constexpr const char* kKeypointRecipe = "orb-default grey-read 1";

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
    const std::string module = py::str(py::getattr(factory, "__module__", py::str(""))).cast<std::string>();
    if (module == "PIL" || module.rfind("PIL.", 0) == 0) continue;
    const std::string package = module.substr(0, module.find('.'));
    std::string version = "?";
    if (modules.contains(package)) {
      version = py::str(py::getattr(modules[package.c_str()], "__version__", py::str("?"))).cast<std::string>();
    }
    decoders.insert(py::str(item.first).cast<std::string>() + ":" + package + "=" + version);
  }
  std::string text;
  for (const std::string& decoder : decoders) text += (text.empty() ? "" : ",") + decoder;
  return text;
}

}  // namespace

bool vector_store_applies(const Namespace& ns) {
  return feature_store_enabled() &&
         are_own_bindings(ns, {"load_image", "padding_square_image", "Image",
                               "UnidentifiedImageError", "np"});
}

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

bool keypoint_store_applies(const Namespace& ns) {
  return feature_store_enabled() &&
         are_own_bindings(ns, {"live_search_process_image", "live_search_find_matched", "cv2",
                               "MatchedResult"});
}

std::string keypoint_settings(const Namespace& ns) {
  return std::string(kKeypointRecipe) + ";opencv=" +
         py::str(ns["cv2"].attr("__version__")).cast<std::string>();
}

}  // namespace sil
