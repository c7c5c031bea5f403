// A digest of an image listing: every record's path and modification time, in order.
//
// The row manifest stores it so that the reuse road can tell in one pass over the listing,
// without a stored row per file, whether the listing is the one the index was built from.
#pragma once

#include "module/python_helpers.h"

namespace sil {

// 32 hexadecimal characters. Two listings get the same digest when their records have,
// position by position, equal paths and modification times: text and floats are taken
// exactly (their stored form, not their printed one); any other value by its repr.
py::str listing_digest(py::handle listing);

}  // namespace sil
