#include "index/row_manifest.h"

#include <optional>
#include <string>

#include "index/dropped_positions.h"
#include "index/index_cache_files.h"
#include "index/listing_digest.h"
#include "module/atomic_file.h"
#include "module/closing_scope.h"

namespace sil {
namespace {

constexpr long kFormat = 4;

// The manifest as stored, or None when there is none or it cannot be read as JSON.
py::object read_manifest(const Namespace& ns) {
  try {
    py::object content = with_open_file(ns["open"](row_manifest_path(ns), "rb"),
                                        [](const py::object& file) { return file.attr("read")(); });
    return ns["json"].attr("loads")(content);
  } catch (py::error_already_set& error) {
    // Missing, unreadable, half-understood (ValueError covers bad JSON and bad UTF-8):
    // all mean that the cache cannot be trusted, not that the call must fail.
    if (error.matches(PyExc_OSError) || error.matches(PyExc_ValueError)) return py::none();
    throw;
  }
}

bool is_list_of(py::handle value, Py_ssize_t size) {
  return PyList_Check(value.ptr()) && PyList_GET_SIZE(value.ptr()) == size;
}

// Whether `path` and `mtime` from the manifest name `record` of the current listing.
bool names_record(py::handle path, py::handle mtime, py::handle record) {
  return PyUnicode_Check(path.ptr()) && comparison_holds(path, record.attr("image_path"), Py_EQ) &&
         comparison_holds(mtime, record.attr("last_modified"), Py_EQ);
}

// The dropped positions the manifest names, when each entry is [position, path, mtime],
// the positions ascend within `listing`, and each names the record at its position.
std::optional<std::vector<Py_ssize_t>> dropped_positions(py::handle entries,
                                                         const py::list& listing) {
  if (!PyList_Check(entries.ptr())) return std::nullopt;
  std::vector<Py_ssize_t> positions;
  const Py_ssize_t size = static_cast<Py_ssize_t>(listing.size());
  for (py::handle entry : entries) {
    if (!is_list_of(entry, 3) || !PyLong_CheckExact(PyList_GET_ITEM(entry.ptr(), 0)))
      return std::nullopt;
    const Py_ssize_t position = PyLong_AsSsize_t(PyList_GET_ITEM(entry.ptr(), 0));
    if (position == -1 && PyErr_Occurred()) {
      PyErr_Clear();  // too large to be a position
      return std::nullopt;
    }
    if (position < 0 || position >= size || (!positions.empty() && position <= positions.back())) {
      return std::nullopt;
    }
    if (!names_record(PyList_GET_ITEM(entry.ptr(), 1), PyList_GET_ITEM(entry.ptr(), 2),
                      listing[static_cast<std::size_t>(position)])) {
      return std::nullopt;
    }
    positions.push_back(position);
  }
  return positions;
}

}  // namespace

void write_row_manifest(const Namespace& ns, py::handle index_file, py::handle listing,
                        const std::vector<Py_ssize_t>& dropped) {
  py::list dropped_files;
  for (const Py_ssize_t position : dropped) {
    py::object record = listing[py::int_(position)];
    py::list entry;
    entry.append(py::int_(position));
    entry.append(record.attr("image_path"));
    entry.append(record.attr("last_modified"));
    dropped_files.append(entry);
  }
  py::dict manifest;
  manifest["format"] = py::int_(kFormat);
  manifest["index_file"] = index_file;
  manifest["rows"] =
      py::int_(static_cast<Py_ssize_t>(py::len(listing)) - static_cast<Py_ssize_t>(dropped.size()));
  manifest["listing"] = listing_digest(listing);
  manifest["dropped"] = dropped_files;
  // json.dumps escapes every non-ASCII character (and undecodable file-name bytes), so
  // the text is ASCII and reads back to exactly the same paths.
  const std::string text = ns["json"].attr("dumps")(manifest).cast<std::string>();
  replace_file_contents(row_manifest_path(ns), text);
}

py::object rows_of_cached_index(const Namespace& ns, py::handle db, py::handle index_file,
                                py::handle listing) {
  if (index_file.is_none() || !PyList_Check(listing.ptr())) return py::none();
  py::object manifest = read_manifest(ns);
  if (!PyDict_Check(manifest.ptr())) return py::none();
  py::dict fields = py::reinterpret_borrow<py::dict>(manifest);
  for (const char* key : {"format", "index_file", "rows", "listing", "dropped"}) {
    if (!fields.contains(key)) return py::none();
  }
  const py::object rows = fields["rows"];
  if (!comparison_holds(py::int_(kFormat), fields["format"], Py_EQ) ||
      !comparison_holds(index_file, fields["index_file"], Py_EQ) ||
      !PyLong_CheckExact(rows.ptr()) || !py::hasattr(db, "ntotal") ||
      !comparison_holds(rows, db.attr("ntotal"), Py_EQ)) {
    return py::none();
  }
  const py::list files = py::reinterpret_borrow<py::list>(listing);
  const auto dropped = dropped_positions(fields["dropped"], files);
  if (!dropped ||
      !comparison_holds(py::int_(static_cast<Py_ssize_t>(files.size() - dropped->size())), rows,
                        Py_EQ)) {
    return py::none();
  }
  // Last, as the only step whose cost grows with the listing.
  if (!comparison_holds(listing_digest(files), fields["listing"], Py_EQ)) return py::none();
  return without_positions(files, *dropped);
}

}  // namespace sil
