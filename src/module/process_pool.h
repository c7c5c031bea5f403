// Process pools for the functions that fan work out to worker processes.
#pragma once

#include "module/python_helpers.h"
#include "module/worker_watch.h"

namespace sil {

// Workers for one pool: one processor is left to the caller and at most five are used,
// but never fewer than one, also when the processor count is 1 or unknown.
long pool_size(const Namespace& ns);

// `with Pool(pool_size) as pool: results = pool.map(function, items)`, then close() and
// join(), so no worker outlives the call. `Pool` and `os` come from the namespace. Leaving
// the block, normally or through an error, terminates the pool; a worker's error reaches
// the caller unchanged. A worker process that dies, or an interrupt, ends the call with the
// pool's workers ended (see worker_watch.h); `name_of_item` names a work item's file there.
// `on_results` takes runs of results as they arrive (see map_watching_workers).
py::list pool_map(const Namespace& ns, py::handle function, py::handle items, ItemName name_of_item,
                  const ResultsArrived& on_results = {});

}  // namespace sil
