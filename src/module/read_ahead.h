// Letting a listing read ahead of the code that consumes it.
//
// The folder walk reads the file system lazily, one file per record asked for, because the
// host may act between records. Where the module consumes a walk itself and nothing of the
// host's runs between records, the walk may instead read on a thread of its own. The walk
// registers how to switch that on when it is first made; src/module/ knows only this switch.
#pragma once

#include "module/python_helpers.h"

namespace sil {

// Switches read-ahead on for `records` when it is a walk that can read ahead and has not
// started; true when it did.
using ReadAheadSwitch = bool (*)(PyObject* records);

void register_read_ahead(ReadAheadSwitch turn_on);

// Calls the registered switch; false when there is none.
bool turn_on_read_ahead(PyObject* records);

}  // namespace sil
