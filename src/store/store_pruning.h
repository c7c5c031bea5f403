// Keeping the feature store from growing without bound for a folder that keeps changing.
#pragma once

#include "store/feature_store.h"

namespace sil {

// Removes every entry of a file under `folder` whose path is not the image path of one of
// the records of `listing` (the folder's current listing): files that are gone, renamed, or
// no longer selected. Entries of listed files that changed are replaced when the file's work
// is stored again. Failures are swallowed (see FeatureStore).
void prune_folder(FeatureStore& store, py::handle folder, py::handle listing);

}  // namespace sil
