#include "index/row_manifest.h"

#include <string>

#include "index/index_cache_files.h"
#include "module/atomic_file.h"
#include "module/closing_scope.h"

namespace sil {
namespace {

constexpr long kFormat = 2;

py::list file_entry(py::handle record) {
  py::list entry;
  entry.append(record.attr("image_path"));
  entry.append(record.attr("last_modified"));
  return entry;
}

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
  return PyUnicode_Check(path.ptr()) && path.equal(record.attr("image_path")) &&
         mtime.equal(record.attr("last_modified"));
}

// Walks the current listing against the manifest's rows and dropped files; returns the
// records that name the rows, or None at the first difference.
py::object match_listing(py::handle listing, py::list rows, py::list dropped) {
  py::list kept;
  const Py_ssize_t row_count = static_cast<Py_ssize_t>(py::len(rows));
  const Py_ssize_t dropped_count = static_cast<Py_ssize_t>(py::len(dropped));
  Py_ssize_t row = 0, next_dropped = 0, position = 0;
  for (py::handle record : listing) {
    if (next_dropped < dropped_count) {
      py::object entry = dropped[next_dropped];
      if (!is_list_of(entry, 3)) return py::none();
      if (py::int_(position).equal(entry[py::int_(0)])) {
        if (!names_record(entry[py::int_(1)], entry[py::int_(2)], record)) return py::none();
        ++next_dropped;
        ++position;
        continue;
      }
    }
    if (row >= row_count) return py::none();
    py::object entry = rows[row];
    if (!is_list_of(entry, 2) || !names_record(entry[py::int_(0)], entry[py::int_(1)], record)) {
      return py::none();
    }
    kept.append(record);
    ++row;
    ++position;
  }
  if (row != row_count || next_dropped != dropped_count) return py::none();
  return std::move(kept);
}

}  // namespace

void write_row_manifest(const Namespace& ns, py::handle index_file, py::handle listing,
                        const std::vector<Py_ssize_t>& dropped) {
  py::list rows, dropped_files;
  std::size_t next_dropped = 0;
  Py_ssize_t position = 0;
  for (py::handle record : listing) {
    if (next_dropped < dropped.size() && dropped[next_dropped] == position) {
      py::list entry;
      entry.append(py::int_(position));
      entry.append(record.attr("image_path"));
      entry.append(record.attr("last_modified"));
      dropped_files.append(entry);
      ++next_dropped;
    } else {
      rows.append(file_entry(record));
    }
    ++position;
  }
  py::dict manifest;
  manifest["format"] = py::int_(kFormat);
  manifest["index_file"] = index_file;
  manifest["rows"] = rows;
  manifest["dropped"] = dropped_files;
  // json.dumps escapes every non-ASCII character (and undecodable file-name bytes), so
  // the text is ASCII and reads back to exactly the same paths.
  const std::string text = ns["json"].attr("dumps")(manifest).cast<std::string>();
  replace_file_contents(row_manifest_path(ns), text);
}

py::object rows_of_cached_index(const Namespace& ns, py::handle db, py::handle index_file,
                                py::handle listing) {
  if (index_file.is_none()) return py::none();
  py::object manifest = read_manifest(ns);
  if (!PyDict_Check(manifest.ptr())) return py::none();
  py::dict fields = py::reinterpret_borrow<py::dict>(manifest);
  if (!fields.contains("format") || !fields.contains("index_file") || !fields.contains("rows") ||
      !fields.contains("dropped") || !py::int_(kFormat).equal(fields["format"]) ||
      !PyList_Check(fields["rows"].ptr()) || !PyList_Check(fields["dropped"].ptr()) ||
      !index_file.equal(fields["index_file"])) {
    return py::none();
  }
  py::list rows = fields["rows"];
  if (!py::hasattr(db, "ntotal") ||
      !py::int_(py::len(rows)).equal(db.attr("ntotal"))) {
    return py::none();
  }
  return match_listing(listing, rows, fields["dropped"]);
}

}  // namespace sil
