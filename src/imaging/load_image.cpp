// load_image: one image file to its image vector, the flat row-major uint8 array of the
// image padded square with white, in greyscale and resized to VECTOR_TENSOR_SIZE squared.
// Pillow does all decoding and pixel work, so every path computes the same vector.
#include "module/closing_scope.h"
#include "module/regular_file.h"

namespace sil {
namespace {

// Pillow reports content it cannot read (not an image, truncated data, a broken
// compressed stream, a failing decoder) as an OSError without an errno. An OSError that
// carries an errno comes from the operating system: a missing file, a directory, a file
// that may not be read, a failing disk. Those are the caller's to see.
bool is_undecodable_content(const py::error_already_set& error) {
  return error.matches(PyExc_OSError) && error.value().attr("errno").is_none();
}

// Pillow refuses, before decoding, a picture whose declared size is over its
// decompression-bomb limit. Such a file is left out like any other it cannot decode: the
// limit stays in force, and one crafted header does not fail the whole folder.
bool is_over_pixel_limit(const Namespace& ns, const py::error_already_set& error) {
  const py::object image_module = ns["Image"];
  if (!py::hasattr(image_module, "DecompressionBombError")) return false;
  return error.matches(image_module.attr("DecompressionBombError"));
}

// The image at `path`, opened and decoded, owned by `images`; an empty object when the file
// opened but its content is no image Pillow can decode, or one over its size limit.
py::object open_decoded(const Namespace& ns, py::handle path, ClosingScope& images) {
  try {
    py::object image = images.adopt(ns["Image"].attr("open")(path));
    // Decoding now, rather than at the first conversion, keeps decoding failures apart
    // from failures of the pixel work that follows.
    image.attr("load")();
    return image;
  } catch (py::error_already_set& error) {
    if (is_undecodable_content(error) || is_over_pixel_limit(ns, error)) return py::object();
    throw;
  }
}

bool has_mode(const py::object& image, const char* mode) {
  return comparison_holds(image.attr("mode"), py::str(mode), Py_EQ);
}

py::object vectorise(const Namespace& ns, py::handle file) {
  const py::object path = file.attr("image_path");
  // A pipe, socket or device whose name looks like a picture is no picture, and opening it
  // could wait forever for a writer.
  if (names_special_file(path)) return py::none();
  ClosingScope images;
  py::object image = open_decoded(ns, path, images);
  if (!image) return py::none();
  // The alpha channel is dropped, not blended: transparent pixels keep their stored colour.
  if (has_mode(image, "RGBA")) image = images.adopt(image.attr("convert")("RGB"));
  image = images.adopt(ns["padding_square_image"](image));
  image = images.adopt(image.attr("convert")("L"));
  py::object side = ns["VECTOR_TENSOR_SIZE"];
  image = images.adopt(image.attr("resize")(py::make_tuple(side, side)));
  py::object vector = ns["np"].attr("array")(image).attr("flatten")();
  images.close_all();
  return vector;
}

}  // namespace

py::object load_image(const Namespace& ns, const py::handle* args) {
  try {
    return vectorise(ns, args[0]);
  } catch (py::error_already_set& error) {
    // A file that is not an image has no vector, wherever Pillow finds that out.
    if (error.matches(ns["UnidentifiedImageError"])) return py::none();
    throw;
  }
}

}  // namespace sil
