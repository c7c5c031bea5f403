// The image test, re.search(FILE_EXTENSION_REGEX, path, re.IGNORECASE) finding a match, and
// the image records of a listing. The catalogue's image listing and the index build both
// filter this way.
#pragma once

#include "module/python_helpers.h"

namespace sil {

// Applies the image test to many paths. The setting and the `re` module are read from the
// namespace at every test, as the test is defined; the compiled pattern is reused for as
// long as both stay the same objects, which saves re.search's per-call cache look-up.
class ImageTest {
 public:
  explicit ImageTest(const Namespace& ns) : ns_(ns) {}

  bool matches(py::handle path);

 private:
  const Namespace& ns_;
  py::object re_module_;
  py::object pattern_;
  py::object search_;  // the bound search method of the compiled pattern
};

// The records of the iterable `records` whose image_path passes the image test, in order.
// The whole iterable is consumed before anything is returned: no partial list on failure.
py::list image_records(const Namespace& ns, py::handle records);

}  // namespace sil
