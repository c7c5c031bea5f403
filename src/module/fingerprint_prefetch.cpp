#include "module/fingerprint_prefetch.h"

#include "module/fast_roads.h"

namespace sil {
namespace {

// Records per json.dumps call: large enough that the calls cost nothing next to the text,
// small enough to fit between the batches of the walking thread.
constexpr Py_ssize_t kChunkRecords = 2048;

thread_local FingerprintPrefetch* open_prefetch = nullptr;

// The record class and `re` are checked where records are added: only a listing that reads
// ahead, which requires them, feeds a prefetch.
bool allows_prefetch(const Namespace& ns) { return road_open(ns, FastRoad::kFingerprintText); }

}  // namespace

FingerprintPrefetch::FingerprintPrefetch(const Namespace& ns) {
  if (!allows_prefetch(ns)) return;
  dumps_ = ns["json"].attr("dumps");
  open_ = true;
  outer_ = open_prefetch;
  open_prefetch = this;
}

FingerprintPrefetch::~FingerprintPrefetch() {
  if (open_) open_prefetch = outer_;
}

void FingerprintPrefetch::add(py::handle record) {
  pending_.append(record.attr("__dict__"));
  if (py::len(pending_) >= kChunkRecords) dump_pending();
}

void FingerprintPrefetch::dump_pending() {
  if (py::len(pending_) == 0) return;
  const py::str text = dumps_(pending_);
  // "[item, item]" without its brackets.
  parts_.append(text[py::slice(1, -1, 1)]);
  pending_ = py::list();
}

void FingerprintPrefetch::finish(const py::list& listing) {
  dump_pending();
  listing_ = listing;
  records_ = py::list(listing);
}

std::optional<py::object> FingerprintPrefetch::text_for(py::handle listing) const {
  if (!listing_ || !listing.is(listing_)) return std::nullopt;
  const Py_ssize_t count = PyList_GET_SIZE(listing_.ptr());
  if (count != PyList_GET_SIZE(records_.ptr())) return std::nullopt;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyList_GET_ITEM(listing_.ptr(), i) != PyList_GET_ITEM(records_.ptr(), i)) return std::nullopt;
  }
  return py::str("[") + py::str(", ").attr("join")(parts_) + py::str("]");
}

FingerprintPrefetch* open_fingerprint_prefetch() { return open_prefetch; }

}  // namespace sil
