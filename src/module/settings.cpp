#include "module/settings.h"

#include "module/imports.h"

namespace sil {

void take_settings(PyObject* module_dict) {
  // `constants` is a top-level module on the host's import path, never relative.
  import_names(module_dict, "constants",
               {"CACHE_METADATA", "CACHED_INDEXED", "DIMENSION", "FILE_EXTENSION_REGEX",
                "SEARCH_RESULT_LIMIT", "VECTOR_TENSOR_SIZE", "FLOATTYPE"});
}

}  // namespace sil
