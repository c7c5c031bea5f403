// load_images: the image vectors of many files, computed by load_image in a process pool,
// one entry per record in input order (None for a file that has no vector).
//
// Vectors that the feature store holds for a file's current state are taken from it; only
// the other files go through the pool, which is opened in any case. New vectors are stored
// as the pool hands back each slice of its work, so an interrupted load keeps what was done.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "imaging/stored_vectors.h"
#include "module/fast_roads.h"
#include "module/process_pool.h"
#include "store/feature_store.h"
#include "store/file_key.h"

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

// Stores the vectors just computed for the files from position `first` of `keys` on, of
// those that did not change while they were read.
void store_new_vectors(const Namespace& ns, const std::string& settings, Py_ssize_t length,
                       const std::vector<std::optional<FileKey>>& keys, Py_ssize_t first,
                       const py::list& results) {
  if (first < 0 || static_cast<std::size_t>(first) + results.size() > keys.size()) return;
  std::vector<std::pair<FileKey, py::object>> entries;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const std::optional<FileKey>& key = keys[static_cast<std::size_t>(first) + i];
    if (!key || !is_storable_vector(results[i], length)) continue;
    if (is_unchanged(*key)) entries.emplace_back(*key, results[i]);
  }
  if (entries.empty()) return;
  FeatureStore store = FeatureStore::open(ns, kVectorTable);
  store_vectors(store, settings, entries);
}

py::list load_with_store(const Namespace& ns, const py::list& records, const std::string& settings,
                         Py_ssize_t length) {
  std::vector<std::optional<FileKey>> keys;
  keys.reserve(records.size());
  for (py::handle record : records) keys.push_back(key_of(record));

  std::vector<py::object> stored;
  {
    // Closed again before the pool starts, so no worker inherits it in use.
    FeatureStore store = FeatureStore::open(ns, kVectorTable);
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
  const auto store_arrived = [&](Py_ssize_t first, const py::list& results) {
    store_new_vectors(ns, settings, length, missing_keys, first, results);
  };
  const py::list loaded = pool_map(ns, ns["load_image"], missing, record_path, store_arrived);
  // A host pool whose map gives another count cannot be merged: it gets the whole listing.
  if (loaded.size() != missing.size()) return pool_map(ns, ns["load_image"], records, record_path);

  py::list images;
  std::size_t next_loaded = 0;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    images.append(stored[i] ? stored[i] : loaded[next_loaded++]);
  }
  return images;
}

}  // namespace

py::object load_images(const Namespace& ns, const py::handle* args) {
  // Workers find load_image by its module name, so the function handed over is the
  // module attribute as bound now.
  const py::handle records = args[0];
  if (!road_open(ns, FastRoad::kStoredVectors) ||
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
