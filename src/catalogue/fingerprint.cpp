#include <string>

#include "catalogue/json_text.h"

namespace sil {
namespace {

// The native text is used only while the namespace's json.dumps is the function the json
// package defines; a host that rebinds `json` in this module, or json.dumps anywhere, gets
// its own serialiser called.
bool is_standard_dumps(const py::object& dumps) {
  const py::object standard = steal_or_throw(PyImport_ImportModule("json"));
  return dumps.is(standard.attr("dumps")) && PyFunction_Check(dumps.ptr()) &&
         PyFunction_GET_GLOBALS(dumps.ptr()) == PyModule_GetDict(standard.ptr());
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
    // The text is pure ASCII, so it is its own UTF-8 encoding. It is handed over as bytes
    // (a copy) rather than as a view of this buffer: a replaced md5 may keep what it gets.
    md5_hash.attr("update")(py::bytes(text));
  } else {
    md5_hash.attr("update")(dumps(attribute_maps).attr("encode")());
  }
  return md5_hash.attr("hexdigest")();
}

}  // namespace sil
