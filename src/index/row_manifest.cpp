#include "index/row_manifest.h"

#include <optional>
#include <string>

#include "index/dropped_positions.h"
#include "index/index_cache_files.h"
#include "module/atomic_file.h"
#include "module/closing_scope.h"

namespace sil {
namespace {

constexpr long kFormat = 2;

// [path, mtime] of a row, with the record's position in front for a dropped file.
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
  return PyUnicode_Check(path.ptr()) && comparison_holds(path, record.attr("image_path"), Py_EQ) &&
         comparison_holds(mtime, record.attr("last_modified"), Py_EQ);
}

// The listing positions of the manifest's dropped files; nothing when an entry is not
// [position, path, mtime] with an int position.
std::optional<std::vector<Py_ssize_t>> dropped_positions(const py::list& dropped) {
  std::vector<Py_ssize_t> positions;
  for (py::handle entry : dropped) {
    if (!is_list_of(entry, 3) || !PyLong_Check(PyList_GET_ITEM(entry.ptr(), 0))) return std::nullopt;
    const Py_ssize_t position = PyLong_AsSsize_t(PyList_GET_ITEM(entry.ptr(), 0));
    if (position == -1 && PyErr_Occurred()) {
      PyErr_Clear();  // too large to be a position
      return std::nullopt;
    }
    positions.push_back(position);
  }
  return positions;
}

// Walks the current listing against the manifest's rows and dropped files; returns the
// records that name the rows, or None at the first difference.
py::object match_listing(py::handle listing, const py::list& rows, const py::list& dropped) {
  const std::optional<std::vector<Py_ssize_t>> positions = dropped_positions(dropped);
  if (!positions) return py::none();
  py::list kept;
  std::size_t row = 0, next_dropped = 0;
  const bool matched = walk_past_dropped(
      listing, *positions,
      [&](Py_ssize_t, py::handle record) {
        if (row >= rows.size()) return false;
        const py::object entry = rows[row++];
        if (!is_list_of(entry, 2) || !names_record(entry[py::int_(0)], entry[py::int_(1)], record)) {
          return false;
        }
        kept.append(record);
        return true;
      },
      [&](Py_ssize_t, py::handle record) {
        const py::object entry = dropped[next_dropped++];
        return names_record(entry[py::int_(1)], entry[py::int_(2)], record);
      });
  if (!matched || row != rows.size()) return py::none();
  return std::move(kept);
}

}  // namespace

void write_row_manifest(const Namespace& ns, py::handle index_file, py::handle listing,
                        const std::vector<Py_ssize_t>& dropped) {
  py::list rows, dropped_files;
  walk_past_dropped(
      listing, dropped,
      [&](Py_ssize_t, py::handle record) {
        rows.append(file_entry(record));
        return true;
      },
      [&](Py_ssize_t position, py::handle record) {
        py::list entry = file_entry(record);
        entry.insert(0, py::int_(position));
        dropped_files.append(entry);
        return true;
      });
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
      !fields.contains("dropped") || !comparison_holds(py::int_(kFormat), fields["format"], Py_EQ) ||
      !PyList_Check(fields["rows"].ptr()) || !PyList_Check(fields["dropped"].ptr()) ||
      !comparison_holds(index_file, fields["index_file"], Py_EQ)) {
    return py::none();
  }
  py::list rows = fields["rows"];
  if (!py::hasattr(db, "ntotal") ||
      !comparison_holds(py::int_(py::len(rows)), db.attr("ntotal"), Py_EQ)) {
    return py::none();
  }
  return match_listing(listing, rows, fields["dropped"]);
}

}  // namespace sil
