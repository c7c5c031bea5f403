// search_index_tools._pool_watch: the worker watch of search_index_lib's pools, compiled from
// the module's own source, for the companion package's pools. A pool of the command that
// loses a worker then ends as the module's pools end: the same checks, timings and error.
#include <pybind11/pybind11.h>

#include "module/worker_watch.h"

namespace {

// A Python callable (or None) as the watch's item namer.
sil::ItemName item_namer(const py::object& name_of_item) {
  if (name_of_item.is_none()) return {};
  return [name_of_item](py::handle item) { return name_of_item(item); };
}

py::object map_in_slices(py::handle pool, py::handle function, py::handle items,
                         Py_ssize_t items_per_slice, const py::object& name_of_item,
                         const py::object& on_slice) {
  sil::ResultsArrived on_results;
  if (!on_slice.is_none()) {
    on_results = [on_slice](Py_ssize_t first, const py::list& results) {
      on_slice(first, results);
    };
  }
  return sil::map_in_watched_slices(pool, function, items, items_per_slice,
                                    item_namer(name_of_item), on_results);
}

}  // namespace

PYBIND11_MODULE(_pool_watch, module) {
  module.doc() = "The worker watch of search_index_lib's process pools.";
  module.attr("POLL_SECONDS") = sil::kPollSeconds;
  module.attr("GRACE_SECONDS") = sil::kGraceSeconds;
  module.def("map_in_slices", &map_in_slices, py::arg("pool"), py::arg("function"),
             py::arg("items"), py::arg("items_per_slice"), py::arg("name_of_item") = py::none(),
             py::arg("on_slice") = py::none(),
             "pool.map(function, items) on multiprocessing's Pool (its own map_async), handed out "
             "in slices of items_per_slice items, one task each, with the workers watched; "
             "on_slice(first, results) gets each slice's results as it is done.");
  module.def("how_it_ended", &sil::how_it_ended, py::arg("exit_code"),
             "'killed by SIGKILL' or 'exit code 1', from a process's exit code.");
  module.def(
      "worker_death",
      [](py::handle how, py::handle items, const py::object& name_of_item) {
        return sil::worker_death(how, items, item_namer(name_of_item));
      },
      py::arg("how"), py::arg("items"), py::arg("name_of_item") = py::none(),
      "The RuntimeError a map ends with when one of its workers ended `how`.");
  py::class_<sil::WorkerWatch>(
      module, "WorkerWatch",
      "Every worker process a multiprocessing pool has had while the watch ran.")
      .def(py::init<py::handle>(), py::arg("pool"))
      .def("refresh", &sil::WorkerWatch::refresh, "Takes in the pool's current workers.")
      .def("death", &sil::WorkerWatch::death, "The exit code of a worker that died, or None.")
      .def("end_all", &sil::WorkerWatch::end_all,
           "Ends every worker and frees the queue locks a dead worker may have held.");
}
