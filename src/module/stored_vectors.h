// Image vectors in the feature store: for each file, the exact array the loader gave, or the
// fact that it gave none.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/feature_store.h"
#include "module/file_key.h"

namespace sil {

// For each key, what the store holds for that exact file and `settings` (text naming every
// setting and library the vector depends on): a null object when nothing, None when the file
// gave no vector, otherwise a new uint8 array equal to the stored one. Entries that do not
// have `length` elements or fail their checksum count as nothing.
std::vector<py::object> lookup_vectors(FeatureStore& store, const std::string& settings,
                                       const std::vector<std::optional<FileKey>>& keys,
                                       Py_ssize_t length);

// Whether `result` is something the store can keep exactly: None, or a one-dimensional
// uint8 NumPy array of `length` elements.
bool is_storable_vector(py::handle result, Py_ssize_t length);

// Whether `value` is exactly a NumPy array of uint8 with `ndim` dimensions: what the store
// keeps as raw bytes and reads back equal, as vectors and as keypoint descriptors.
bool is_uint8_array(py::handle value, long ndim);

// Stores each (key, storable result) in one transaction, replacing older entries of the
// same paths. Failures are swallowed (see FeatureStore).
void store_vectors(FeatureStore& store, const std::string& settings,
                   const std::vector<std::pair<FileKey, py::object>>& entries);

}  // namespace sil
