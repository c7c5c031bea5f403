// Opening only regular files.
//
// A name that matches the image pattern can belong to a named pipe, a socket or a device
// node. Opening a pipe for reading blocks until a writer comes, and opening some devices has
// effects of its own, so the searches look at what a path names (after following links)
// before anything opens it.
#pragma once

#include "module/python_helpers.h"

namespace sil {

// True when `path` (str, bytes or path-like) names, after following links, something that
// exists and is neither a regular file nor a directory: a pipe, a socket or a device. False
// for regular files and directories, and when the status cannot be read or `path` is no
// file-system path at all; whoever opens it then reports that in its own words.
bool names_special_file(py::handle path);

// The regular file at `path` (str, bytes or path-like), opened for binary reading as a
// host file object that the caller closes; None when `path` names no regular file or it
// cannot be opened. A path that is not a file-system path raises the host's TypeError; one
// holding a NUL character names no file. The name goes to the system as the file system
// stores it, so names that are not valid in its encoding open like any other.
py::object open_regular_file(py::handle path);

}  // namespace sil
