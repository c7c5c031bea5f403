// Closing the Pillow images that one call opens or makes.
//
// An opened image holds its file until it is closed (multi-frame formats keep it open even
// after decoding), and every intermediate image holds a pixel buffer. A call closes all of
// them before it returns, on the error paths as well, as a `with` block would.
#pragma once

#include <vector>

#include "module/python_helpers.h"

namespace sil {

// Closes `image`, discarding any error: used while another error is already on its way,
// which is the one the caller should see.
void close_quietly(py::handle image) noexcept;

class ImageScope {
 public:
  ImageScope() = default;
  ~ImageScope();  // closes whatever close_all() did not reach, quietly
  ImageScope(const ImageScope&) = delete;
  ImageScope& operator=(const ImageScope&) = delete;

  // Takes `image` into the scope (once, however often it is adopted) and returns it.
  py::object adopt(py::object image);

  // Closes every adopted image, the most recent first; a failing close() is raised.
  void close_all();

 private:
  std::vector<py::object> images_;
};

}  // namespace sil
