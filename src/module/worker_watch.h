// A map over a process pool that a dying worker cannot hang.
//
// multiprocessing's Pool replaces a worker process that dies (a decoder crashing on a hostile
// file, the out-of-memory killer, a kill -9), but the work that worker held is lost, and
// map() then waits for it for ever. A worker that dies while idle can also take one of the
// pool's queue locks with it, and the pool's own terminate() then waits for that lock for ever.
#pragma once

#include <functional>

#include "module/python_helpers.h"

namespace sil {

// Names the file that a work item stands for, for error messages.
using ItemName = std::function<py::object(py::handle item)>;

// How often a waiting map looks at its workers while no result arrives, and how long the
// results a worker handed back just before it ended get to arrive before its end counts as
// a death (seconds).
constexpr double kPollSeconds = 0.1;
constexpr double kGraceSeconds = 1.0;

// Takes a run of results as it arrives: `results` are those of the items from position
// `first` on. Runs may arrive in any order; each position arrives once.
using ResultsArrived = std::function<void(Py_ssize_t first, const py::list& results)>;

// `pool.map(function, items)` on an entered pool. For multiprocessing's Pool (or a subclass
// that keeps its map() and map_async()), the calling thread waits for the map in short
// intervals and watches every worker process the pool has had. Should one end before the
// map is done, the call raises RuntimeError ("a worker process died ..."), naming the work
// item's file when the map had only one.
// On that error, and on anything else that interrupts the wait (KeyboardInterrupt), every
// worker process is ended and the pool's queue locks are freed before the error leaves, so
// that the pool's terminate() finishes. A worker's own error is raised unchanged, as map()
// raises it: once every other work item is done, so that the pool is idle when it is ended. Any
// other pool object (a host's stand-in, a pool with a map() of its own) keeps its own map (see
// below).
//
// With `on_results`, a standard pool's map is handed out in slices, and each slice's results
// are given to `on_results` as soon as it is done, before the map as a whole is done or
// fails: what was finished before a death or an interrupt can be kept. Another pool that
// offers map_in_slices(function, items, on_slice) is called through it instead of map(): it
// maps as map() does and calls on_slice(first, results) in the calling thread as each run of
// results is done (the callable refuses calls once the map has returned or failed). Other
// pools' results are given in one run once their map() returns a list of one result per item.
py::object map_watching_workers(py::handle pool, py::handle function, py::handle items,
                                ItemName name_of_item, const ResultsArrived& on_results = {});

// The watched map of map_watching_workers for a pool the caller knows to be multiprocessing's
// Pool with its own map_async() (a subclass that draws progress around it, say), handed out
// in slices of `items_per_slice` items, each sent to the workers as one task, with each
// slice's results given to `on_results` as it is done.
py::object map_in_watched_slices(py::handle pool, py::handle function, py::handle items,
                                 Py_ssize_t items_per_slice, const ItemName& name_of_item,
                                 const ResultsArrived& on_results);

// "killed by SIGKILL" or "exit code 1", from a process's exit code.
py::str how_it_ended(py::handle exit_code);

// The RuntimeError a map ends with when one of its workers ended `how` (see how_it_ended):
// "a worker process died (<how>) while working on '<file>'; the pool's other workers were
// ended", or "... before the pool finished its <n> work items; ..." when the map had more
// than one item or the one cannot be named.
py::object worker_death(py::handle how, py::handle items, const ItemName& name_of_item);

// Every worker process a standard pool has had while the watch ran.
class WorkerWatch {
 public:
  explicit WorkerWatch(py::handle pool);

  // Takes in the pool's current workers. The pool replaces dead workers in its list, so a
  // worker seen once is kept until its end is known.
  void refresh();

  // The exit code of a worker that ended, or None. A pool given a task limit per worker
  // retires workers with exit code 0 as part of its work; those ends are no deaths.
  py::object death();

  // Ends every worker at once and frees the queue locks a dead worker may have held, so
  // that the pool's terminate() finishes. The pool starts no replacement workers after it.
  void end_all();

 private:
  // Kills every worker still running and waits for each to end.
  void kill_all();

  py::object pool_;
  bool retires_workers_;
  py::set seen_;
};

}  // namespace sil
