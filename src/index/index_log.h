// INFO log lines of the index subsystem.
#pragma once

#include "module/python_helpers.h"

namespace sil {

// `logging.info(message)` through the module's own `logging`.
void log_info(const Namespace& ns, py::handle message);

}  // namespace sil
