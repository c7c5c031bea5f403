// Image vectors in the feature store: for each file, the exact array the loader gave, or the
// fact that it gave none.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "store/feature_store.h"
#include "store/file_key.h"

namespace sil {

// The table the vectors are kept in.
extern const StoreTable kVectorTable;

// Text naming what a stored vector depends on besides its file (the way it is made,
// VECTOR_TENSOR_SIZE, the library versions and the picture decoders registered with Pillow),
// and the vector length; nothing when VECTOR_TENSOR_SIZE is not a positive int, in which case
// the loader's own errors must be seen.
std::optional<std::string> vector_settings(const Namespace& ns, Py_ssize_t* length);

// For each key, what the store holds for that exact file and `settings`: a null object when
// nothing, None when the file gave no vector, otherwise a new uint8 array equal to the stored
// one. Entries that do not have `length` elements or fail their checksum count as nothing.
std::vector<py::object> lookup_vectors(FeatureStore& store, const std::string& settings,
                                       const std::vector<std::optional<FileKey>>& keys,
                                       Py_ssize_t length);

// Whether `result` is something the store can keep exactly: None, or a one-dimensional
// uint8 NumPy array of `length` elements.
bool is_storable_vector(py::handle result, Py_ssize_t length);

// Stores each (key, storable result) in one transaction, replacing older entries of the
// same paths. Failures are swallowed (see FeatureStore).
void store_vectors(FeatureStore& store, const std::string& settings,
                   const std::vector<std::pair<FileKey, py::object>>& entries);

}  // namespace sil
