#include "module/read_ahead.h"

namespace sil {
namespace {

PyTypeObject listing_type = [] {
  PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
  type.tp_name = "search_index_lib.read_ahead_listing";
  type.tp_basicsize = sizeof(ReadAheadListing);
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
  return type;
}();

}  // namespace

PyTypeObject* read_ahead_listing_type() {
  if (!(listing_type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&listing_type) < 0) {
    throw py::error_already_set();
  }
  return &listing_type;
}

bool turn_on_read_ahead(PyObject* records) {
  if (!(listing_type.tp_flags & Py_TPFLAGS_READY) || !PyObject_TypeCheck(records, &listing_type)) {
    return false;
  }
  auto* listing = reinterpret_cast<ReadAheadListing*>(records);
  return listing->turn_on_read_ahead != nullptr && listing->turn_on_read_ahead(records);
}

}  // namespace sil
