#include "module/read_ahead.h"

namespace sil {
namespace {

ReadAheadSwitch registered = nullptr;

}  // namespace

void register_read_ahead(ReadAheadSwitch turn_on) { registered = turn_on; }

bool turn_on_read_ahead(PyObject* records) { return registered != nullptr && registered(records); }

}  // namespace sil
