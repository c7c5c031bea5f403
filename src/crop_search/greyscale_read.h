// Reading a picture in greyscale for the keypoint matching.
#pragma once

#include "module/python_helpers.h"

namespace sil {

// The picture at `path` as OpenCV's greyscale read gives it (what cv2.imread(path, 0)
// returns), or None when it cannot be used:
// - only a regular file is opened (after following links): a pipe, socket, device or
//   folder gives None, and none of them is ever opened in a way that could block;
// - OpenCV decodes the file's bytes (cv2.imdecode with the same flag), so no path text
//   reaches it; names that are not valid in the file system's encoding read like others;
// - Pillow first reads the header, without decoding, and a picture that it refuses for its
//   size (the decompression-bomb limit, Image.MAX_IMAGE_PIXELS as it stands) or whose
//   header it cannot read gives None, so no decoder allocates the pixels of a crafted size.
// A missing or unreadable file gives None, as with cv2.imread.
py::object read_greyscale(const Namespace& ns, py::handle path);

}  // namespace sil
