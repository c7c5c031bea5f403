// load_images: the image vectors of many files, computed by load_image in a process pool,
// one entry per record in input order (None for a file that has no vector).
#include "module/process_pool.h"

namespace sil {
namespace {

py::object record_path(py::handle record) { return record.attr("image_path"); }

}  // namespace

py::object load_images(const Namespace& ns, const py::handle* args) {
  // Workers find load_image by its module name, so the function handed over is the
  // module attribute as bound now.
  return pool_map(ns, ns["load_image"], args[0], record_path);
}

}  // namespace sil
