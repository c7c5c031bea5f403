// Closing what a call opens, on every path, as a `with` block does.
//
// An opened file or image holds its file until it is closed (Pillow's multi-frame formats
// keep it open even after decoding), and every intermediate image holds a pixel buffer. A
// call adopts each such object into a scope, which closes them all when the call is done,
// on the error paths as well.
#pragma once

#include <vector>

#include "module/python_helpers.h"

namespace sil {

// Calls `object.close()`, discarding any error: used while another error is already on its
// way, which is the one the caller should see.
void close_quietly(py::handle object) noexcept;

class ClosingScope {
 public:
  ClosingScope() = default;
  ~ClosingScope();  // closes whatever close_all() did not reach, quietly
  ClosingScope(const ClosingScope&) = delete;
  ClosingScope& operator=(const ClosingScope&) = delete;

  // Takes `object` into the scope (once, however often it is adopted) and returns it.
  py::object adopt(py::object object);

  // Takes `object` out of the scope again, open, for the caller to hand on; returns it.
  py::object release(py::object object);

  // Closes every adopted object, the most recent first; a failing close() is raised.
  void close_all();

 private:
  std::vector<py::object> objects_;
};

// `with file: return use(file)` for an opened file: runs `use(file)`, then closes the file,
// also when `use` failed.
template <typename Use>
py::object with_open_file(const py::object& file, Use use) {
  ClosingScope scope;
  scope.adopt(file);
  py::object result = use(file);
  scope.close_all();
  return result;
}

}  // namespace sil
