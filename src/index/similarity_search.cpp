// search_images: one nearest-neighbour query against a flat index; search_image: the whole
// query of an image file against a folder, as the host uses it.
#include "index/index_log.h"

namespace sil {
namespace {

py::list one_item_list(py::handle item) {
  py::list list;
  list.append(item);
  return list;
}

// Pillow's error for a file it cannot identify, naming the file.
[[noreturn]] void raise_not_an_image(const Namespace& ns, py::handle image_path) {
  py::object message = py::str("cannot identify image file {!r}").format(image_path);
  py::object error = ns["UnidentifiedImageError"](message);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

// The query file's image vector through the same loader as the folder's files, as a unit
// FLOATTYPE row: the stored rows are unit vectors, so a query of unit length makes the
// squared distances 2 - 2 cos, small numbers whose differences float32 keeps, and an
// indexed image's own distance 0.
py::object normalised_query_vector(const Namespace& ns, py::handle image_path) {
  py::object record =
      ns["ImageData"](py::arg("image_path") = image_path, py::arg("last_modified") = py::none());
  py::object vectors = ns["load_images"](one_item_list(record));
  py::object vector = vectors[py::int_(0)];
  if (vector.is_none() || py::len(vector) == 0) raise_not_an_image(ns, image_path);

  py::object matrix = ns["np"].attr("array")(one_item_list(vector)).attr("astype")(ns["FLOATTYPE"]);
  ns["faiss"].attr("normalize_L2")(matrix);
  return matrix[py::int_(0)];
}

// The paths of the rows named by the first row of `indices`, nearest first. faiss names
// missing neighbours (fewer rows than asked for) -1; those are not rows and are skipped.
py::list paths_of_rows(py::handle all_files, py::handle indices) {
  py::list paths;
  py::object first_row = indices[py::int_(0)];
  for (py::handle entry : first_row) {
    py::object row = steal_or_throw(PyNumber_Index(entry.ptr()));
    if (row.cast<long long>() < 0) continue;
    paths.append(all_files[row].attr("image_path"));
  }
  return paths;
}

// The number of neighbours to ask faiss for: SEARCH_RESULT_LIMIT, but no more than the index
// has rows (at least 1). Places past the row count only come back as -1 fillers, which are
// dropped above, and faiss allocates its answer for all k places first: an enormous limit
// would fail to allocate, or take gigabytes, to return the same paths. A limit that is not a
// plain int is passed on as it is, so search_images refuses it as before.
py::object neighbour_count(const Namespace& ns, py::handle db) {
  py::object limit = ns["SEARCH_RESULT_LIMIT"];
  if (!PyLong_CheckExact(limit.ptr()) || !py::hasattr(db, "ntotal")) return limit;
  py::object rows = db.attr("ntotal");
  if (!PyLong_CheckExact(rows.ptr())) return limit;
  py::object most = comparison_holds(rows, py::int_(1), Py_GE) ? rows : py::object(py::int_(1));
  return comparison_holds(limit, most, Py_GT) ? most : limit;
}

}  // namespace

py::object search_images(const Namespace& ns, const py::handle* args) {
  const py::handle db = args[0], query_image = args[1], k = args[2];
  py::object faiss = ns["faiss"];
  faiss.attr("cvar").attr("distance_compute_blas_threshold") = py::int_(40);
  py::object query =
      ns["np"].attr("array")(one_item_list(query_image)).attr("astype")(ns["FLOATTYPE"]);
  auto [distances, indices] = unpack_pair(db.attr("search")(query, k));
  return py::make_tuple(distances, indices);
}

py::object search_image(const Namespace& ns, const py::handle* args) {
  const py::handle image_path = args[0], in_folder_path = args[1];
  auto [db, all_files] = unpack_pair(ns["index_a_directory"](in_folder_path));
  py::object query = normalised_query_vector(ns, image_path);
  auto [distances, indices] = unpack_pair(ns["search_images"](db, query, neighbour_count(ns, db)));
  log_info(ns, py::str("Distances: ") + py::str(distances));
  return paths_of_rows(all_files, indices);
}

}  // namespace sil
