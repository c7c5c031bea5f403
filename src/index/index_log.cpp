#include "index/index_log.h"

namespace sil {

void log_info(const Namespace& ns, py::handle message) { ns["logging"].attr("info")(message); }

}  // namespace sil
