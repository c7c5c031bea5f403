#include "crop_search/greyscale_read.h"

#include "module/closing_scope.h"
#include "module/regular_file.h"

namespace sil {
namespace {

constexpr int kGreyscale = 0;  // cv2.IMREAD_GRAYSCALE, the flag imread was given

// Whether Pillow accepts the header of the open `file` for its size. Pillow's open reads
// the header only and refuses a declared size over its limit, which makes both searches
// leave out the same pictures. A header Pillow cannot read at all says nothing about the
// size, so that picture is not decoded either.
bool header_within_pixel_limit(const Namespace& ns, const py::object& file) {
  py::object image;
  try {
    image = ns["Image"].attr("open")(file);
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_Exception)) throw;  // an interrupt is the caller's
    return false;
  }
  // Left as a `with` block leaves it: the image lets go of the file without closing it,
  // since the file is still to be read.
  image.attr("__exit__")(py::none(), py::none(), py::none());
  return true;
}

// The whole content of `file` from its start, or None when reading fails.
py::object content_of(const py::object& file) {
  try {
    file.attr("seek")(0);
    return file.attr("read")();
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_OSError)) throw;
    return py::none();
  }
}

py::object decode_greyscale(const Namespace& ns, const py::object& file) {
  if (!header_within_pixel_limit(ns, file)) return py::none();
  const py::object content = content_of(file);
  if (content.is_none() || py::len(content) == 0) return py::none();
  const py::object np = ns["np"];
  const py::object buffer = np.attr("frombuffer")(content, py::arg("dtype") = np.attr("uint8"));
  return ns["cv2"].attr("imdecode")(buffer, kGreyscale);
}

}  // namespace

py::object read_greyscale(const Namespace& ns, py::handle path) {
  py::object file = open_regular_file(path);
  if (file.is_none()) return py::none();
  return with_open_file(file,
                        [&](const py::object& opened) { return decode_greyscale(ns, opened); });
}

}  // namespace sil
