// Which listed pictures a candidate index must read again: the per-file check every search
// of a library makes, kept out of the interpreter because it runs for every picture.
#pragma once

#include <pybind11/pybind11.h>

namespace verified_match {

// Checks every path of `listing` (a list of str) against the index's `numbers` (a dict of
// path -> number) and `keys` (a list indexed by number of (key, ...) tuples): a picture is
// stale when it is not in `numbers` or its key is not `key_prefix` followed by its identity
// "device/inode/size/mtime_ns/ctime_ns" as stat() gives it now (links followed). Returns
// (stale, missing): stale as a list of (path, (device, inode, size, mtime_ns, ctime_ns)),
// and missing as a list of the paths that name no regular file now (gone, or no file).
pybind11::tuple check_listing(pybind11::list listing, pybind11::dict numbers, pybind11::list keys,
                              pybind11::str key_prefix);

}  // namespace verified_match
