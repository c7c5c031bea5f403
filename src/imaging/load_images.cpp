// load_images: the image vectors of many files, computed by load_image in a process pool,
// one entry per record in input order (None for a file that has no vector).
//
// Vectors that the feature store holds for a file's current state are taken from it; only
// the other files go through the pool, which is opened in any case.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/feature_store.h"
#include "module/file_key.h"
#include "module/process_pool.h"
#include "module/stored_vectors.h"
#include "module/stored_work.h"

namespace sil {
namespace {

py::object record_path(py::handle record) { return record.attr("image_path"); }

// The key of a record's file, or nothing when it has no usable path (the loader then
// reports whatever is wrong with it).
std::optional<FileKey> key_of(py::handle record) {
  try {
    return file_key(record.attr("image_path"));
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_Exception)) throw;
    return std::nullopt;
  }
}

// Stores the vectors just computed for files that did not change while they were read.
void store_new_vectors(const Namespace& ns, const std::string& settings, Py_ssize_t length,
                       const std::vector<std::optional<FileKey>>& keys,
                       const py::list& results) {
  std::vector<std::pair<FileKey, py::object>> entries;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (!keys[i] || !is_storable_vector(results[i], length)) continue;
    const std::optional<FileKey> now = file_key(py::bytes(keys[i]->path));
    if (now && *now == *keys[i]) entries.emplace_back(*keys[i], results[i]);
  }
  if (entries.empty()) return;
  FeatureStore store = FeatureStore::open(ns);
  store_vectors(store, settings, entries);
}

py::list load_with_store(const Namespace& ns, const py::list& records,
                         const std::string& settings, Py_ssize_t length) {
  std::vector<std::optional<FileKey>> keys;
  keys.reserve(records.size());
  for (py::handle record : records) keys.push_back(key_of(record));

  std::vector<py::object> stored;
  {
    // Closed again before the pool starts, so no worker inherits it in use.
    FeatureStore store = FeatureStore::open(ns);
    if (!store) return pool_map(ns, ns["load_image"], records, record_path);
    stored = lookup_vectors(store, settings, keys, length);
  }

  py::list missing;
  std::vector<std::optional<FileKey>> missing_keys;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (stored[i]) continue;
    missing.append(records[i]);
    missing_keys.push_back(keys[i]);
  }
  const py::list loaded = pool_map(ns, ns["load_image"], missing, record_path);
  // A host pool whose map gives another count cannot be merged: it gets the whole listing.
  if (loaded.size() != missing.size()) return pool_map(ns, ns["load_image"], records, record_path);

  py::list images;
  std::size_t next_loaded = 0;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    images.append(stored[i] ? stored[i] : loaded[next_loaded++]);
  }
  store_new_vectors(ns, settings, length, missing_keys, loaded);
  return images;
}

}  // namespace

py::object load_images(const Namespace& ns, const py::handle* args) {
  // Workers find load_image by its module name, so the function handed over is the
  // module attribute as bound now.
  const py::handle records = args[0];
  if (!vector_store_applies(ns) ||
      !(PyList_CheckExact(records.ptr()) || PyTuple_CheckExact(records.ptr()))) {
    return pool_map(ns, ns["load_image"], records, record_path);
  }
  Py_ssize_t length = 0;
  std::optional<std::string> settings;
  try {
    settings = vector_settings(ns, &length);
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_Exception)) throw;  // the loader reports what is wrong
  }
  if (!settings) return pool_map(ns, ns["load_image"], records, record_path);
  const py::list listed = steal_or_throw(PySequence_List(records.ptr()));
  return load_with_store(ns, listed, *settings, length);
}

}  // namespace sil
