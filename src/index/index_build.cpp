// index_a_directory: the folder's flat L2 index, reused from the cache file while the
// folder is unchanged and the row manifest still describes it, otherwise built afresh.
#include <string>
#include <vector>

#include "index/dropped_positions.h"
#include "index/fingerprint_snapshot.h"
#include "index/index_cache_files.h"
#include "index/index_log.h"
#include "index/row_manifest.h"
#include "module/image_filter.h"

namespace sil {
namespace {

// Positions whose loader result is None or empty: files that gave no vector.
std::vector<Py_ssize_t> positions_without_vector(py::handle images) {
  std::vector<Py_ssize_t> positions;
  Py_ssize_t position = 0;
  for (py::handle image : images) {
    if (image.is_none() || py::len(image) == 0) positions.push_back(position);
    ++position;
  }
  return positions;
}

// The entries of `items` whose positions are not in `dropped` (ascending).
py::list without_positions(py::handle items, const std::vector<Py_ssize_t>& dropped) {
  py::list kept;
  walk_past_dropped(
      items, dropped, [&](Py_ssize_t, py::handle item) {
        kept.append(item);
        return true;
      },
      [](Py_ssize_t, py::handle) { return true; });
  return kept;
}

// Stacks the vectors into a FLOATTYPE matrix and adds its rows, L2-normalised, to `db`.
// With no vector at all the index simply stays empty.
void add_normalised_rows(const Namespace& ns, py::handle db, const py::list& images) {
  if (images.empty()) return;
  py::object matrix = ns["np"].attr("array")(images).attr("astype")(ns["FLOATTYPE"]);
  ns["faiss"].attr("normalize_L2")(matrix);
  db.attr("add")(matrix);
}

// A new index of every listed file that gives a vector, written to the cache; returns
// (db, the listing without the files that gave none).
py::tuple build_index(const Namespace& ns, const py::list& all_files) {
  py::object db = ns["faiss"].attr("IndexFlatL2")(ns["DIMENSION"]);
  py::list images = py::list(ns["load_images"](all_files));
  if (py::len(images) != py::len(all_files)) {
    // Rows would no longer line up with files; refuse rather than name wrong paths.
    raise_format(PyExc_ValueError, "load_images returned %zd vectors for %zd files",
                 static_cast<Py_ssize_t>(py::len(images)),
                 static_cast<Py_ssize_t>(py::len(all_files)));
  }
  const std::vector<Py_ssize_t> dropped = positions_without_vector(images);
  py::list files = without_positions(all_files, dropped);
  py::list vectors = without_positions(images, dropped);
  log_info(ns, py::str("After remove none indices: {}, {}").format(py::len(vectors), py::len(files)));

  add_normalised_rows(ns, db, vectors);
  // The index first, then its manifest: a reader in between sees a manifest that does not
  // match the new index and rebuilds, never a manifest it could wrongly trust.
  const py::list index_file = write_index_file(ns, db);
  write_row_manifest(ns, index_file, all_files, dropped);
  log_info(ns, py::str("Indexing done"));
  return py::make_tuple(db, files);
}

// A build after this call's fingerprint check stored the new listing's fingerprint. Should
// it fail or be interrupted, the old fingerprint is put back beside the old index file.
py::tuple build_index_after_fingerprint_stored(const Namespace& ns, const py::list& all_files,
                                               const FingerprintSnapshot& fingerprint) {
  try {
    return build_index(ns, all_files);
  } catch (...) {
    fingerprint.restore();
    throw;
  }
}

// Whether the folder changed since the stored fingerprint; the check stores the new one.
// Should the check itself fail midway, the old fingerprint is put back.
bool folder_changed(const Namespace& ns, const py::list& all_files,
                    const FingerprintSnapshot& fingerprint) {
  try {
    return is_true(ns["is_images_in_dir_changed"](all_files));
  } catch (...) {
    fingerprint.restore();
    throw;
  }
}

// Whether a cached index still has the configured dimension. The fingerprint covers only
// paths and times, so after VECTOR_TENSOR_SIZE and DIMENSION change it would otherwise keep
// handing out an index that every query vector fails to fit.
bool has_configured_dimension(const Namespace& ns, py::handle db) {
  return comparison_holds(db.attr("d"), ns["DIMENSION"], Py_EQ);
}

}  // namespace

py::object index_a_directory(const Namespace& ns, const py::handle* args) {
  py::list all_files = image_records(ns, ns["absolute_path_recursive_a_directory"](args[0]));

  py::object index_path = ns["CACHED_INDEXED"];
  if (!is_true(ns["os"].attr("path").attr("exists")(index_path))) {
    log_info(ns, py::str("There is no cached index, indexing"));
    return build_index(ns, all_files);
  }

  // The index file is read before the fingerprint is consulted: a damaged file fails the
  // call here, whatever the fingerprint says.
  CachedIndex cached = read_index_file(ns);
  py::object db = cached.db;
  const FingerprintSnapshot fingerprint(ns);
  if (folder_changed(ns, all_files, fingerprint)) {
    log_info(ns, py::str("Hash changed, re-indexing"));
    db = py::none();
    return build_index_after_fingerprint_stored(ns, all_files, fingerprint);
  }

  if (!has_configured_dimension(ns, db)) {
    log_info(ns, py::str("Cached index has another dimension than DIMENSION, re-indexing"));
    db = py::none();
    return build_index(ns, all_files);
  }
  py::object rows = rows_of_cached_index(ns, db, cached.identity, all_files);
  if (rows.is_none()) {
    // Same listing, but the manifest is missing or was written for another index file
    // (another build, another process, an older version): rows cannot be named.
    log_info(ns, py::str("Cached index does not match its row manifest, re-indexing"));
    db = py::none();
    return build_index(ns, all_files);
  }
  log_info(ns, py::str("Using cached index"));
  return py::make_tuple(db, rows);
}

}  // namespace sil
