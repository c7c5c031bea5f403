#include "module/process_pool.h"

namespace sil {

long pool_size(const Namespace& ns) {
  py::object count = ns["os"].attr("cpu_count")();
  if (count.is_none()) return 1;
  const long processors = count.cast<long>();
  const long workers = processors - 1 < 5 ? processors - 1 : 5;
  return workers < 1 ? 1 : workers;
}

py::list pool_map(const Namespace& ns, py::handle function, py::handle items, ItemName name_of_item,
                  const ResultsArrived& on_results) {
  py::object pool = ns["Pool"](pool_size(ns));
  py::object entered = pool.attr("__enter__")();
  py::object results;
  try {
    results = map_watching_workers(entered, function, items, name_of_item, on_results);
  } catch (py::error_already_set& error) {
    // The block's exit sees the error, as a `with` statement would show it. An error raised
    // here in C++ has no traceback yet, which the block's exit is given as None.
    const py::object trace =
        error.trace() ? py::reinterpret_borrow<py::object>(error.trace()) : py::none();
    pool.attr("__exit__")(error.type(), error.value(), trace);
    throw;
  }
  pool.attr("__exit__")(py::none(), py::none(), py::none());
  pool.attr("close")();
  pool.attr("join")();
  return py::list(results);
}

}  // namespace sil
