// Check of the crop file, made in the calling process before any worker starts.
#pragma once

#include "module/python_helpers.h"

namespace sil {

// Raises FileNotFoundError (with the path as its filename) when `crop_path` does not exist,
// and ValueError naming the file when it cannot be read as a greyscale picture the way the
// workers read it (no regular file, no picture, or over the size limit). Without
// this check every worker would fail on the missing pixels, or an unreadable crop would
// look like a search that found nothing.
void ensure_crop_readable(const Namespace& ns, py::handle crop_path);

}  // namespace sil
