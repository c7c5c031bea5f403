// The folder fingerprint's text, made while the listing is read.
//
// The fingerprint is the md5 of json.dumps of every image record's attribute map. While a
// folder is listed, the interpreter's thread spends much of its time waiting for the thread
// that reads the file system; index_a_directory has that time used to make the fingerprint's
// text chunk by chunk as records come in. json.dumps of a list is "[", the texts of its items
// joined by ", ", and "]", so the chunks' texts joined the same way are exactly the text one
// call makes. The fingerprint of that very listing then takes this text instead of making it
// again.
//
// A prefetch is opened only while nothing of the host's can run from the listing to the
// fingerprint: the walk, the record class, `re`, `json` (with its own dumps), `md5` and the
// two fingerprint functions are the module's own. It belongs to the thread that opened it.
#pragma once

#include <optional>

#include "module/python_helpers.h"

namespace sil {

class FingerprintPrefetch {
 public:
  // Opens a prefetch on this thread when `ns` allows one; otherwise nothing happens.
  explicit FingerprintPrefetch(const Namespace& ns);
  // Closes it: no text outlives the call that opened it.
  ~FingerprintPrefetch();
  FingerprintPrefetch(const FingerprintPrefetch&) = delete;
  FingerprintPrefetch& operator=(const FingerprintPrefetch&) = delete;

  // For image_records, while the prefetch is open: each record kept, in order.
  void add(py::handle record);
  // For image_records: the listing is complete and is `listing`.
  void finish(const py::list& listing);

  // The text json.dumps makes of the attribute maps of `listing`'s records, when `listing`
  // is the list this prefetch finished and still holds the same records; otherwise none.
  std::optional<py::object> text_for(py::handle listing) const;

 private:
  void dump_pending();

  bool open_ = false;
  py::object dumps_;
  py::list pending_;   // attribute maps not yet dumped
  py::list parts_;     // the chunks' texts without their brackets
  py::list listing_;   // the finished listing
  py::list records_;   // a copy of its items, to see that it still holds them
  FingerprintPrefetch* outer_ = nullptr;  // the prefetch this one hides, if any
};

// The prefetch open on this thread, or null.
FingerprintPrefetch* open_fingerprint_prefetch();

}  // namespace sil
