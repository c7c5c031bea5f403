// Reading and writing the rows of a declared store table (see StoreTable): the store matches
// each row's key with the file as it is now; what the payload means is the declaring part's.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "store/feature_store.h"
#include "store/file_key.h"

namespace sil {

// For each key, the payload columns and the checksum (a tuple, in the table's order) of the
// row `table` holds for that exact file and `settings`; a null object when it holds none, or
// one of an earlier state of the file. Failures are swallowed (see FeatureStore).
std::vector<py::object> lookup_rows(FeatureStore& store, const StoreTable& table,
                                    const std::string& settings,
                                    const std::vector<std::optional<FileKey>>& keys);

// Stores each (key, payload and checksum) in one transaction, replacing older rows of the
// same paths and settings. Failures are swallowed (see FeatureStore).
void store_rows(FeatureStore& store, const StoreTable& table, const std::string& settings,
                const std::vector<std::pair<FileKey, py::tuple>>& rows);

}  // namespace sil
