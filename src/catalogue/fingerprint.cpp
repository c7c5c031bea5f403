#include "module/python_helpers.h"

namespace sil {

// The fingerprint text is what the namespace's json.dumps makes of the records' attribute
// maps; the stored fingerprints of every earlier version were made the same way.
py::object compute_md5_of_files(const Namespace& ns, const py::handle* args) {
  const py::object md5_hash = ns["md5"]();
  const py::object dumps = ns["json"].attr("dumps");
  py::list attribute_maps;
  for (const py::handle record : args[0]) attribute_maps.append(record.attr("__dict__"));
  md5_hash.attr("update")(dumps(attribute_maps).attr("encode")());
  return md5_hash.attr("hexdigest")();
}

}  // namespace sil
