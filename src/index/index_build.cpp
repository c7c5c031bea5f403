// index_a_directory: the folder's flat L2 index, reused from the cache file while the
// folder is unchanged and the row manifest still describes it, otherwise built afresh.
#include <optional>
#include <string>
#include <vector>

#include "index/dropped_positions.h"
#include "index/fingerprint_snapshot.h"
#include "index/index_cache_files.h"
#include "index/index_log.h"
#include "index/normalised_rows.h"
#include "index/row_manifest.h"
#include "module/fast_roads.h"
#include "module/image_filter.h"
#include "store/store_pruning.h"

namespace sil {
namespace {

// Drops the stored vectors of files that are no longer in the folder, while the store
// serves this module's own loading of this module's own listing.
void prune_stored_vectors(const Namespace& ns, py::handle folder, const py::list& all_files) {
  if (!road_open(ns, FastRoad::kStoredVectorPruning)) return;
  FeatureStore store = FeatureStore::open(ns);
  prune_folder(store, folder, all_files);
}

// A new index of every listed file that gives a vector, written to the cache; returns
// (db, the listing without the files that gave none).
py::tuple build_index(const Namespace& ns, py::handle folder, const py::list& all_files) {
  py::object db = ns["faiss"].attr("IndexFlatL2")(ns["DIMENSION"]);
  std::vector<Py_ssize_t> dropped;
  py::list files, vectors;
  {
    py::list images = py::list(ns["load_images"](all_files));
    prune_stored_vectors(ns, folder, all_files);
    if (py::len(images) != py::len(all_files)) {
      // Rows would no longer line up with files; refuse rather than name wrong paths.
      raise_format(PyExc_ValueError, "load_images returned %zd vectors for %zd files",
                   static_cast<Py_ssize_t>(py::len(images)),
                   static_cast<Py_ssize_t>(py::len(all_files)));
    }
    dropped = positions_without_vector(images);
    files = without_positions(all_files, dropped);
    vectors = without_positions(images, dropped);
  }  // the loader's list is let go: `vectors` alone holds the vectors, freed as they are added
  log_info(ns,
           py::str("After remove none indices: {}, {}").format(py::len(vectors), py::len(files)));

  add_normalised_rows(ns, db, std::move(vectors));
  // The index first, then its manifest: a reader in between sees a manifest that does not
  // match the new index and rebuilds, never a manifest it could wrongly trust.
  const py::list index_file = write_index_file(ns, db);
  write_row_manifest(ns, index_file, all_files, dropped);
  log_info(ns, py::str("Indexing done"));
  return py::make_tuple(db, files);
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
    return build_index(ns, args[0], all_files);
  }

  // The index file is read before the fingerprint is consulted: a damaged file fails the
  // call here, whatever the fingerprint says.
  CachedIndex cached = read_index_file(ns);
  py::object db = cached.db;
  // The check stores the new listing's fingerprint before the build; should the check or
  // the build fail or be interrupted, the old fingerprint goes back beside the old index.
  const FingerprintSnapshot fingerprint(ns);
  const bool changed = fingerprint.restoring_on_failure(
      [&] { return is_true(ns["is_images_in_dir_changed"](all_files)); });
  if (changed) {
    log_info(ns, py::str("Hash changed, re-indexing"));
    db = py::none();
    return fingerprint.restoring_on_failure([&] { return build_index(ns, args[0], all_files); });
  }

  if (!has_configured_dimension(ns, db)) {
    log_info(ns, py::str("Cached index has another dimension than DIMENSION, re-indexing"));
    db = py::none();
    return build_index(ns, args[0], all_files);
  }
  py::object rows = rows_of_cached_index(ns, db, cached.identity, all_files);
  if (rows.is_none()) {
    // Same listing, but the manifest is missing or was written for another index file
    // (another build, another process, an older version): rows cannot be named.
    log_info(ns, py::str("Cached index does not match its row manifest, re-indexing"));
    db = py::none();
    return build_index(ns, args[0], all_files);
  }
  log_info(ns, py::str("Using cached index"));
  return py::make_tuple(db, rows);
}

}  // namespace sil
