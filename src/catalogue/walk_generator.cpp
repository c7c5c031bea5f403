#include "catalogue/walk_generator.h"

#include <memory>
#include <string>

#include "catalogue/directory_walker.h"
#include "catalogue/read_ahead_walker.h"
#include "module/fast_roads.h"
#include "module/read_ahead.h"
#include "module/records.h"

namespace sil {
namespace {

enum class WalkState { kCreated, kSuspended, kFinished };

struct WalkObject {
  ReadAheadListing listing;  // the header a listing that can read ahead starts with
  PyObject* globals;  // the module namespace: ImageData and os are looked up at use
  PyObject* folder;   // the argument as given; read only when the walk starts
  PyObject* kwnames;  // ("image_path", "last_modified"), made when the walk starts
  DirectoryWalker* walker;   // the lazy walk, or
  ReadAheadWalker* ahead;    // the walk on a thread of its own, when read-ahead is on
  WalkState state;
  bool read_ahead;    // switched on before the walk starts
  bool own_records;   // records made as the module's own, unchanged ImageData would make them
  bool running;       // inside next/send/throw, possibly with the interpreter lock released
  bool bytes_paths;   // a bytes folder gives bytes paths, as the os functions do
};

WalkObject* as_walk(PyObject* self) { return reinterpret_cast<WalkObject*>(self); }

// Releases the interpreter lock for a block of pure file-system work.
class AllowThreads {
 public:
  AllowThreads() : state_(PyEval_SaveThread()) {}
  ~AllowThreads() { PyEval_RestoreThread(state_); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* state_;
};

void release_walkers(WalkObject* self) {
  delete self->walker;
  self->walker = nullptr;
  delete self->ahead;
  self->ahead = nullptr;
}

void finish(WalkObject* self) {
  release_walkers(self);
  self->state = WalkState::kFinished;
}

// The walk starts here, not when the generator is made: the absolute form of the folder
// depends on the working directory at this moment.
void start(WalkObject* self) {
  const Namespace ns(self->globals);
  const py::object prefix = ns["os"].attr("path").attr("abspath")(py::handle(self->folder));
  const py::object listing = steal_or_throw(PyOS_FSPath(self->folder));
  self->bytes_paths = PyBytes_Check(prefix.ptr());
  self->kwnames = py::make_tuple("image_path", "last_modified").release().ptr();
  if (self->read_ahead) {
    // Nothing of the host's runs during a walk that reads ahead, so the class checked here
    // is the class of every record.
    self->own_records = road_open(Namespace(self->globals), FastRoad::kNativeRecords);
    self->ahead = new ReadAheadWalker(fs_encode(listing), fs_encode(prefix));
  } else {
    self->walker = new DirectoryWalker(fs_encode(listing), fs_encode(prefix));
  }
}

bool next_file(WalkObject* self, WalkedFile& file) {
  if (self->walker != nullptr) {
    AllowThreads unlocked;
    return self->walker->next(file);
  }
  for (;;) {
    // No Python code runs between records here, so signals (Ctrl-C) are looked at here.
    if (PyErr_CheckSignals() < 0) throw py::error_already_set();
    const ReadAheadWalker::Step step = self->ahead->try_next(file);
    if (step != ReadAheadWalker::Step::kNotYet) return step == ReadAheadWalker::Step::kFile;
    AllowThreads unlocked;
    self->ahead->wait_for_more();
  }
}

PyObject* next_record(WalkObject* self) {
  WalkedFile file;
  if (!next_file(self, file)) return nullptr;
  const py::object path = steal_or_throw(
      self->bytes_paths ? PyBytes_FromStringAndSize(file.path.data(), file.path.size())
                        : PyUnicode_DecodeFSDefaultAndSize(file.path.data(), file.path.size()));
  const py::object last_modified = steal_or_throw(PyFloat_FromDouble(file.last_modified));
  if (self->own_records) return make_own_image_record(path, last_modified).release().ptr();
  const py::object image_data = Namespace(self->globals)["ImageData"];
  PyObject* args[] = {path.ptr(), last_modified.ptr()};
  return PyObject_Vectorcall(image_data.ptr(), args, 0, self->kwnames);
}

bool refuse_if_running(WalkObject* self) {
  if (!self->running) return false;
  PyErr_SetString(PyExc_ValueError, "generator already executing");
  return true;
}

// One step of the walk: the next record, or null (with no error set at the end of the
// walk). As with a generator, an error ends the walk for good.
PyObject* advance(WalkObject* self) {
  if (refuse_if_running(self)) return nullptr;
  if (self->state == WalkState::kFinished || self->globals == nullptr) return nullptr;
  self->running = true;
  PyObject* record = nullptr;
  try {
    if (self->state == WalkState::kCreated) {
      self->state = WalkState::kSuspended;
      start(self);
    }
    record = next_record(self);
  } catch (...) {
    set_error_from_current_exception();
  }
  self->running = false;
  if (record == nullptr) finish(self);
  return record;
}

PyObject* walk_iternext(PyObject* self) { return advance(as_walk(self)); }

PyObject* walk_send(PyObject* self_object, PyObject* value) {
  WalkObject* self = as_walk(self_object);
  if (refuse_if_running(self)) return nullptr;
  if (self->state == WalkState::kCreated && value != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
    return nullptr;
  }
  PyObject* record = advance(self);
  if (record == nullptr && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
  return record;
}

// Sets the error that throw(type[, value[, traceback]]) raises, with the interpreter's own
// checks and messages. False when the arguments themselves are wrong (error set).
bool set_thrown_error(PyObject* type, PyObject* value, PyObject* traceback) {
  if (traceback == Py_None) traceback = nullptr;
  if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return false;
  }
  Py_XINCREF(value);
  Py_XINCREF(traceback);
  if (PyExceptionClass_Check(type)) {
    Py_INCREF(type);
    PyErr_NormalizeException(&type, &value, &traceback);
  } else if (PyExceptionInstance_Check(type)) {
    if (value != nullptr && value != Py_None) {
      Py_DECREF(value);
      Py_XDECREF(traceback);
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return false;
    }
    Py_XDECREF(value);
    value = Py_NewRef(type);
    type = Py_NewRef(PyExceptionInstance_Class(type));
    if (traceback == nullptr) traceback = PyException_GetTraceback(value);
  } else {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(type)->tp_name);
    return false;
  }
  PyErr_Restore(type, value, traceback);
  return true;
}

// A StopIteration leaving a running generator becomes a RuntimeError, so that it cannot
// pass for the end of the iteration.
void convert_stop_iteration() {
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
  PyObject* stop = PyErr_GetRaisedException();
  PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
  PyObject* runtime_error = PyErr_GetRaisedException();
  PyException_SetCause(runtime_error, Py_NewRef(stop));
  PyException_SetContext(runtime_error, stop);
  PyErr_SetRaisedException(runtime_error);
}

// The walk has no handler of its own, so a thrown exception always leaves it and ends it.
PyObject* walk_throw(PyObject* self_object, PyObject* const* args, Py_ssize_t nargs) {
  WalkObject* self = as_walk(self_object);
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    return nullptr;
  }
  if (nargs > 3) {
    PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
    return nullptr;
  }
  if (nargs > 1 &&
      PyErr_WarnEx(PyExc_DeprecationWarning,
                   "the (type, exc, tb) signature of throw() is deprecated, use the single-arg "
                   "signature instead.",
                   1) < 0) {
    return nullptr;
  }
  if (!set_thrown_error(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr)) {
    return nullptr;
  }
  if (self->running) {
    PyErr_Clear();
    refuse_if_running(self);
    return nullptr;
  }
  const bool suspended = self->state == WalkState::kSuspended;
  finish(self);
  if (suspended) convert_stop_iteration();
  return nullptr;
}

PyObject* walk_close(PyObject* self_object, PyObject*) {
  WalkObject* self = as_walk(self_object);
  if (refuse_if_running(self)) return nullptr;
  finish(self);
  Py_RETURN_NONE;
}

int walk_traverse(PyObject* self_object, visitproc visit, void* arg) {
  WalkObject* self = as_walk(self_object);
  Py_VISIT(self->globals);
  Py_VISIT(self->folder);
  Py_VISIT(self->kwnames);
  return 0;
}

int walk_clear(PyObject* self_object) {
  WalkObject* self = as_walk(self_object);
  Py_CLEAR(self->globals);
  Py_CLEAR(self->folder);
  Py_CLEAR(self->kwnames);
  return 0;
}

void walk_dealloc(PyObject* self_object) {
  PyObject_GC_UnTrack(self_object);
  WalkObject* self = as_walk(self_object);
  release_walkers(self);
  walk_clear(self_object);
  PyObject_GC_Del(self_object);
}

PyMethodDef walk_methods[] = {
    {"send", walk_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(walk_throw)),
     METH_FASTCALL, nullptr},
    {"close", walk_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_walk(self)->running); }

PyGetSetDef walk_getset[] = {
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

bool turn_on_walk_read_ahead(PyObject* records);

// Iterator protocol plus send/throw/close: what collections.abc.Generator asks for.
PyTypeObject walk_type = [] {
  PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
  type.tp_name = "search_index_lib.folder_walk";
  type.tp_basicsize = sizeof(WalkObject);
  type.tp_dealloc = walk_dealloc;
  type.tp_getattro = PyObject_GenericGetAttr;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  type.tp_traverse = walk_traverse;
  type.tp_clear = walk_clear;
  type.tp_iter = PyObject_SelfIter;
  type.tp_iternext = walk_iternext;
  type.tp_methods = walk_methods;
  type.tp_getset = walk_getset;
  return type;
}();

// The module consumes a walk it was handed in one go: such a walk, not yet started, may
// read ahead.
bool turn_on_walk_read_ahead(PyObject* records) {
  WalkObject* self = as_walk(records);
  if (self->state != WalkState::kCreated || self->running) return false;
  self->read_ahead = true;
  return true;
}

}  // namespace

py::object make_walk_generator(const Namespace& ns, py::handle folder) {
  if (!(walk_type.tp_flags & Py_TPFLAGS_READY)) {
    walk_type.tp_base = read_ahead_listing_type();
    if (PyType_Ready(&walk_type) < 0) throw py::error_already_set();
  }
  WalkObject* self = PyObject_GC_New(WalkObject, &walk_type);
  if (self == nullptr) throw py::error_already_set();
  self->listing.turn_on_read_ahead = turn_on_walk_read_ahead;
  self->globals = Py_NewRef(ns.dict());
  self->folder = Py_NewRef(folder.ptr());
  self->kwnames = nullptr;
  self->walker = nullptr;
  self->ahead = nullptr;
  self->state = WalkState::kCreated;
  self->read_ahead = false;
  self->own_records = false;
  self->running = false;
  self->bytes_paths = false;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(self));
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
}

}  // namespace sil
