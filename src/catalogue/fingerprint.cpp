#include "module/fingerprint_prefetch.h"

namespace sil {

// The fingerprint text is what the namespace's json.dumps makes of the records' attribute
// maps; the stored fingerprints of every earlier version were made the same way.
py::object compute_md5_of_files(const Namespace& ns, const py::handle* args) {
  const py::object md5_hash = ns["md5"]();
  // The text made while this very listing was read, when there is one.
  const FingerprintPrefetch* prefetch = open_fingerprint_prefetch();
  if (std::optional<py::object> text = prefetch ? prefetch->text_for(args[0]) : std::nullopt) {
    md5_hash.attr("update")(text->attr("encode")());
    return md5_hash.attr("hexdigest")();
  }
  const py::object dumps = ns["json"].attr("dumps");
  py::list attribute_maps;
  for (const py::handle record : args[0]) attribute_maps.append(record.attr("__dict__"));
  md5_hash.attr("update")(dumps(attribute_maps).attr("encode")());
  return md5_hash.attr("hexdigest")();
}

}  // namespace sil
