#include "module/worker_watch.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace sil {
namespace {

// With every worker ended, a queue lock still taken after this long belongs to a dead worker.
constexpr double kLockSeconds = 0.2;
constexpr double kJoinSeconds = 5.0;
// How long a worker may take to finish writing the result it is handing back (a megabyte
// result needs the pool's result thread to read it; on a busy machine that takes a while).
constexpr double kWriterSeconds = 5.0;

py::object import(const char* name) { return steal_or_throw(PyImport_ImportModule(name)); }

// Whether `pool` is multiprocessing's Pool, or a subclass, whose map() and map_async() are
// the Pool's own: only then is map_async() plus watching the same as map(). A subclass that
// makes map() its own (a progress-reporting pool, say) keeps its own map.
bool runs_standard_map(py::handle pool) {
  const py::object pool_class = import("multiprocessing.pool").attr("Pool");
  const int is_instance = PyObject_IsInstance(pool.ptr(), pool_class.ptr());
  if (is_instance < 0) throw py::error_already_set();
  if (is_instance == 0) return false;
  for (const char* name : {"map", "map_async"}) {
    const py::object bound = pool.attr(name);
    if (!py::hasattr(bound, "__func__") || !bound.attr("__func__").is(pool_class.attr(name))) {
      return false;
    }
  }
  return true;
}

// The queue's lock `name`, or None where the queue has none.
py::object lock_of(py::handle queue, const char* name) {
  return py::hasattr(queue, name) ? py::reinterpret_borrow<py::object>(queue.attr(name))
                                  : py::none();
}

// Whether `lock` (not None) was taken within `seconds`.
bool take(const py::object& lock, double seconds) {
  return is_true(lock.attr("acquire")(py::arg("timeout") = seconds));
}

// A worker waiting for its next task holds the task queue's read lock, and one handing back
// a result holds the result queue's write lock; killed there, it never releases them. With
// every worker ended, a lock still taken after a short wait belongs to a dead process and is
// released on its behalf.
void free_lock(py::handle queue, const char* name) {
  const py::object lock = lock_of(queue, name);
  if (lock.is_none()) return;
  take(lock, kLockSeconds);
  try {
    lock.attr("release")();
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ValueError)) throw;  // released in the meantime: free already
  }
}

// A worker that died holding the result queue's write lock may have died halfway through a
// result: the pool's result thread then waits for the rest of it for ever, and would take
// the end mark terminate() writes for the rest. With every worker ended, the pool's own write
// end of the result pipe is the last one open. It is closed, a fresh pipe taking its place in
// the queue for that mark, so the result thread reads the pipe's end and stops. The results
// it was still waiting for are let go, as a terminated pool lets them go: terminate() refuses
// a pool whose result thread has stopped with results still owed.
void stop_result_thread(py::handle pool) {
  for (const char* name : {"_result_handler", "_cache", "_outqueue"}) {
    if (!py::hasattr(pool, name)) return;
  }
  const py::object thread = pool.attr("_result_handler");
  const py::object queue = pool.attr("_outqueue");
  if (!is_true(thread.attr("is_alive")()) || !py::hasattr(queue, "_writer")) return;
  const py::tuple ends =
      import("multiprocessing.connection").attr("Pipe")(py::arg("duplex") = false);
  const py::object written_before = queue.attr("_writer");
  queue.attr("_writer") = ends[1];
  queue.attr("_end_mark_reader") = ends[0];  // kept open, so the mark finds a reader
  written_before.attr("close")();
  thread.attr("join")(kJoinSeconds);
  if (!is_true(thread.attr("is_alive")())) pool.attr("_cache").attr("clear")();
}

// The pool's worker handler starts a new worker for every one that ends, for as long as the
// pool runs. Told to stop first, as terminate() tells it, it starts none that the kills
// would miss: such a worker would take up the work left in the queue, and the pool's
// terminate() could then kill it while it hands a result back, holding the result queue's
// lock that terminate() waits for.
void stop_replacing(py::handle pool) {
  if (!py::hasattr(pool, "_worker_handler") || !py::hasattr(pool, "_change_notifier")) return;
  const py::object handler = pool.attr("_worker_handler");
  handler.attr("_state") = import("multiprocessing.pool").attr("TERMINATE");
  pool.attr("_change_notifier").attr("put")(py::none());
  const py::object current = import("threading").attr("current_thread")();
  if (!handler.is(current)) handler.attr("join")(kJoinSeconds);
}

// "while working on '<file>'" when the map had one work item and its file can be named;
// otherwise how many work items were left unfinished.
py::str what_was_lost(py::handle items, const ItemName& name_of_item) {
  const Py_ssize_t count = py::len(items);
  if (count == 1 && name_of_item) {
    try {
      return py::str("while working on {!r}").format(name_of_item(items[py::int_(0)]));
    } catch (py::error_already_set& error) {
      if (!error.matches(PyExc_Exception)) throw;
    }
  }
  return py::str("before the pool finished its {} work items").format(count);
}

[[noreturn]] void raise_worker_death(py::handle exit_code, py::handle items,
                                     const ItemName& name_of_item) {
  const py::object error = worker_death(how_it_ended(exit_code), items, name_of_item);
  PyErr_SetObject(PyExc_RuntimeError, error.ptr());
  throw py::error_already_set();
}

bool is_ready(const py::object& pending) { return is_true(pending.attr("ready")()); }

// Items per slice of a map whose results are taken as they arrive: small enough that the
// slices a death or an interrupt cuts short hold little of the work (about a thirty-second
// of each worker's share), large enough that handing them out costs nothing next to the work.
Py_ssize_t standard_slice(py::handle pool, Py_ssize_t items) {
  const Py_ssize_t workers = std::max<Py_ssize_t>(1, py::len(pool.attr("_pool")));
  const Py_ssize_t slice = (items + 32 * workers - 1) / (32 * workers);
  return std::clamp<Py_ssize_t>(slice, 1, 256);
}

// One map_async per slice of `work` (one slice without `on_results`).
struct PendingSlice {
  Py_ssize_t first;
  py::object result;
  bool taken = false;
};

// One map_async per slice of `per_slice` items of `work`; `chunksize` 0 leaves the pool to
// cut each slice into tasks as its map() would.
std::vector<PendingSlice> hand_out(py::handle pool, py::handle function, const py::list& work,
                                   Py_ssize_t per_slice, Py_ssize_t chunksize) {
  const Py_ssize_t total = static_cast<Py_ssize_t>(work.size());
  const Py_ssize_t step = std::max<Py_ssize_t>(per_slice, 1);
  std::vector<PendingSlice> slices;
  for (Py_ssize_t first = 0; first < total || (first == 0 && total == 0); first += step) {
    const py::object items = steal_or_throw(PyList_GetSlice(work.ptr(), first, first + step));
    py::object pending = chunksize > 0 ? pool.attr("map_async")(function, items, chunksize)
                                       : pool.attr("map_async")(function, items);
    slices.push_back({first, std::move(pending)});
  }
  return slices;
}

// The exception a slice that failed ends with (the worker's own error, as map() raises it).
py::object error_of(const py::object& pending) {
  try {
    pending.attr("get")();
  } catch (py::error_already_set& error) {
    return error.value();
  }
  raise(PyExc_RuntimeError, "a failed map reported no error");
}

// Takes the results of every slice that is done, and keeps the error of the first slice
// that failed in `first_error`. True when every slice is taken.
bool take_finished(std::vector<PendingSlice>& slices, py::list& results,
                   const ResultsArrived& on_results, py::object& first_error) {
  bool all_taken = true;
  for (PendingSlice& slice : slices) {
    if (slice.taken) continue;
    if (!is_ready(slice.result)) {
      all_taken = false;
      continue;
    }
    slice.taken = true;
    if (!is_true(slice.result.attr("successful")())) {
      if (first_error.is_none()) first_error = error_of(slice.result);
      continue;
    }
    const py::list values = slice.result.attr("get")();
    for (std::size_t i = 0; i < values.size(); ++i) {
      results[static_cast<std::size_t>(slice.first) + i] = values[i];
    }
    if (on_results) on_results(slice.first, values);
  }
  return all_taken;
}

[[noreturn]] void raise_worker_error(const py::object& error) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

// `per_slice` items per map_async (and per task when `one_task_per_slice`).
py::object watched_map(py::handle pool, py::handle function, py::handle items,
                       const ItemName& name_of_item, const ResultsArrived& on_results,
                       Py_ssize_t per_slice, bool one_task_per_slice) {
  // The items are taken into a list first, as the pool's map does with anything that has
  // no length. The pool counts its tasks by len() and then iterates: an object whose length
  // does not match its items, or whose iteration fails, would leave tasks that never come
  // and the map waiting for them. The work items can then also be counted and named.
  const py::list work = steal_or_throw(PySequence_List(items.ptr()));
  const Py_ssize_t total = static_cast<Py_ssize_t>(work.size());
  if (per_slice <= 0) per_slice = on_results ? standard_slice(pool, total) : total;
  WorkerWatch workers(pool);  // seen before any work starts, so no early death goes unseen
  py::list results(work.size());
  // A worker's own error is raised once every slice is done, as map() raises it once all its
  // tasks are: the pool is then idle when the caller ends it. Ending a pool while a worker
  // hands back a result can leave the result queue's lock with the killed worker, and the
  // pool's terminate() waiting for that lock for ever.
  py::object first_error = py::none();
  try {
    std::vector<PendingSlice> slices =
        hand_out(pool, function, work, per_slice, one_task_per_slice ? per_slice : 0);
    while (!take_finished(slices, results, on_results, first_error)) {
      const auto waiting = std::find_if(slices.begin(), slices.end(),
                                        [](const PendingSlice& slice) { return !slice.taken; });
      waiting->result.attr("wait")(kPollSeconds);
      if (is_ready(waiting->result)) continue;
      workers.refresh();
      const py::object exit_code = workers.death();
      if (exit_code.is_none()) continue;
      waiting->result.attr("wait")(kGraceSeconds);
      if (!take_finished(slices, results, on_results, first_error)) {
        raise_worker_death(exit_code, work, name_of_item);
      }
    }
  } catch (py::error_already_set& error) {
    // A death, an interrupt or any other failure of the wait ends every worker.
    try {
      workers.end_all();
    } catch (py::error_already_set&) {
      // The error that ended the wait is the one the caller must see.
    }
    throw;
  }
  if (!first_error.is_none()) raise_worker_error(first_error);
  return std::move(results);
}

// A callable for a host pool's map_in_slices: hands each run of results to `on_results`
// for as long as the map it serves runs. A pool that keeps it and calls it later gets an
// error instead of reaching a map that has ended.
class SliceTaker {
 public:
  explicit SliceTaker(const ResultsArrived& on_results)
      : target_(std::make_shared<const ResultsArrived*>(&on_results)) {}
  ~SliceTaker() { *target_ = nullptr; }
  SliceTaker(const SliceTaker&) = delete;
  SliceTaker& operator=(const SliceTaker&) = delete;

  py::object callable() const {
    std::shared_ptr<const ResultsArrived*> target = target_;
    return py::cpp_function([target](Py_ssize_t first, const py::list& results) {
      if (*target == nullptr)
        raise(PyExc_RuntimeError, "the map these results belong to has ended");
      (**target)(first, results);
    });
  }

 private:
  std::shared_ptr<const ResultsArrived*> target_;
};

// A host pool that is not a standard one may offer map_in_slices(function, items, on_slice):
// map(function, items) that calls on_slice(first, results) in the calling thread as each run
// of results, from position `first` on, is done.
py::object host_map(py::handle pool, py::handle function, py::handle items,
                    const ResultsArrived& on_results) {
  if (on_results && py::hasattr(pool, "map_in_slices")) {
    const SliceTaker taker(on_results);
    return pool.attr("map_in_slices")(function, items, taker.callable());
  }
  py::object results = pool.attr("map")(function, items);
  if (on_results && PyList_CheckExact(results.ptr()) && py::len(results) == py::len(items)) {
    on_results(0, py::reinterpret_borrow<py::list>(results));
  }
  return results;
}

}  // namespace

py::object map_watching_workers(py::handle pool, py::handle function, py::handle items,
                                ItemName name_of_item, const ResultsArrived& on_results) {
  if (runs_standard_map(pool))
    return watched_map(pool, function, items, name_of_item, on_results, 0, false);
  return host_map(pool, function, items, on_results);
}

py::object map_in_watched_slices(py::handle pool, py::handle function, py::handle items,
                                 Py_ssize_t items_per_slice, const ItemName& name_of_item,
                                 const ResultsArrived& on_results) {
  if (items_per_slice < 1) raise(PyExc_ValueError, "items_per_slice must be at least 1");
  return watched_map(pool, function, items, name_of_item, on_results, items_per_slice, true);
}

// "killed by SIGKILL" or "exit code 1", from a process's exit code.
py::str how_it_ended(py::handle exit_code) {
  const long code = exit_code.cast<long>();
  if (code >= 0) return py::str("exit code {}").format(code);
  try {
    return py::str("killed by {}").format(import("signal").attr("Signals")(-code).attr("name"));
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_Exception)) throw;
    return py::str("killed by signal {}").format(-code);
  }
}

WorkerWatch::WorkerWatch(py::handle pool)
    : pool_(py::reinterpret_borrow<py::object>(pool)),
      retires_workers_(!pool.attr("_maxtasksperchild").is_none()) {
  refresh();
}

void WorkerWatch::refresh() {
  for (py::handle worker : pool_.attr("_pool")) seen_.add(worker);
}

py::object WorkerWatch::death() {
  py::list retired;
  for (py::handle worker : seen_) {
    py::object code = worker.attr("exitcode");
    if (code.is_none()) continue;
    if (retires_workers_ && code.cast<long>() == 0) {
      retired.append(worker);
      continue;
    }
    return code;
  }
  for (py::handle worker : retired) seen_.attr("discard")(worker);
  return py::none();
}

void WorkerWatch::kill_all() {
  for (py::handle worker : seen_) {
    if (worker.attr("exitcode").is_none()) worker.attr("kill")();
  }
  for (py::handle worker : seen_) worker.attr("join")(kJoinSeconds);
}

// A worker killed halfway through a message leaves the rest of it missing from the pipe: the
// pool's result thread then waits for the rest of a result for ever (and terminate() for that
// thread), and the pool's shutdown, draining the task queue, for the rest of a task. So the
// workers are killed while the watch itself holds the result queue's write lock (every result
// being written is whole first) and, where it can be had at once, the task queue's read lock
// (an idle worker holds that one while it waits, with nothing read yet). A lock not had in
// time is held by a dead worker, or a stuck one, and is freed after the kills as before; the
// result lock's holder may have died halfway through a result, so the result thread is
// stopped then.
void WorkerWatch::end_all() {
  stop_replacing(pool_);
  refresh();
  const py::object writing = lock_of(pool_.attr("_outqueue"), "_wlock");
  const py::object reading = lock_of(pool_.attr("_inqueue"), "_rlock");
  const bool holds_writing = !writing.is_none() && take(writing, kWriterSeconds);
  bool holds_reading = false;
  try {
    holds_reading = !reading.is_none() && take(reading, kLockSeconds);
    kill_all();
  } catch (py::error_already_set&) {
    if (holds_reading) reading.attr("release")();
    if (holds_writing) writing.attr("release")();
    throw;
  }
  if (holds_reading) {
    reading.attr("release")();
  } else {
    free_lock(pool_.attr("_inqueue"), "_rlock");
  }
  if (holds_writing) {
    writing.attr("release")();
  } else {
    free_lock(pool_.attr("_outqueue"), "_wlock");
    if (!writing.is_none()) stop_result_thread(pool_);
  }
}

py::object worker_death(py::handle how, py::handle items, const ItemName& name_of_item) {
  const py::str message =
      py::str("a worker process died ({}) {}; the pool's other workers were ended")
          .format(how, what_was_lost(items, name_of_item));
  return steal_or_throw(PyObject_CallOneArg(PyExc_RuntimeError, message.ptr()));
}

}  // namespace sil
