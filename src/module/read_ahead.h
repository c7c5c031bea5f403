// Letting a listing read ahead of the code that consumes it.
//
// The folder walk reads the file system lazily, one file per record asked for, because the
// host may act between records. Where the module consumes a walk itself and nothing of the
// host's runs between records, the walk may instead read on a thread of its own. A listing
// that can do so carries its own switch: its type derives from ReadAheadListing's, and its
// objects start with the header below. src/module/ knows only this header.
#pragma once

#include "module/python_helpers.h"

namespace sil {

struct ReadAheadListing {
  PyObject_HEAD
  // Switches read-ahead on for this listing when it has not started; true when it did.
  bool (*turn_on_read_ahead)(PyObject* self);
};

// The base type of listings that can read ahead; it makes no objects of its own.
PyTypeObject* read_ahead_listing_type();

// Switches read-ahead on for `records` when it is a listing that can read ahead and has not
// started; false for any other object.
bool turn_on_read_ahead(PyObject* records);

}  // namespace sil
