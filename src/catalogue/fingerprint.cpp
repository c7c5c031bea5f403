#include <string>

#include "catalogue/catalogue.h"
#include "catalogue/json_text.h"

namespace sil {
namespace {

// The native text is used only while the namespace's json.dumps is the standard one; a
// host that rebinds `json` (or its dumps) gets its own serialiser called.
bool is_standard_dumps(const py::object& dumps) {
  const py::object standard = steal_or_throw(PyImport_ImportModule("json"));
  return dumps.is(standard.attr("dumps"));
}

// A read-only view of `text`, so that a listing of many megabytes is not copied again.
py::object view_of(const std::string& text) {
  return steal_or_throw(PyMemoryView_FromMemory(const_cast<char*>(text.data()),
                                                static_cast<Py_ssize_t>(text.size()), PyBUF_READ));
}

}  // namespace

py::object compute_md5_of_files(const Namespace& ns, const py::handle* args) {
  const py::object md5_hash = ns["md5"]();
  const py::object dumps = ns["json"].attr("dumps");
  py::list attribute_maps;
  for (const py::handle record : args[0]) attribute_maps.append(record.attr("__dict__"));

  std::string text;
  text.reserve(static_cast<std::size_t>(PyList_GET_SIZE(attribute_maps.ptr())) * 96 + 2);
  if (is_standard_dumps(dumps) && append_json_of_flat_dicts(attribute_maps.ptr(), text)) {
    // The text is pure ASCII, so it is its own UTF-8 encoding.
    const py::object view = view_of(text);
    md5_hash.attr("update")(view);
    view.attr("release")();
  } else {
    md5_hash.attr("update")(dumps(attribute_maps).attr("encode")());
  }
  return md5_hash.attr("hexdigest")();
}

}  // namespace sil
