// The text json.dumps gives, with its default options, for a list of flat dictionaries,
// written natively. It saves building the encoder's intermediate objects for every record
// of a large listing; the folder fingerprint hashes this text, so it must match byte for
// byte, and anything outside the handled cases is left to json.dumps itself.
#pragma once

#include <string>

#include "module/python_helpers.h"

namespace sil {

// Appends the JSON text of `list` (an exact list) to `out` and returns true when every item
// is an exact dict whose keys are exact str and whose values are exact str, exact float,
// None, True or False. Returns false, with `out` partly written, otherwise.
bool append_json_of_flat_dicts(PyObject* list, std::string& out);

}  // namespace sil
