// The walk as a generator object: the protocol of Python's generators (iteration, send,
// throw, close, gi_running) around a WalkRun, with the same errors and messages.
#include "catalogue/walk_generator.h"

#include "catalogue/walk_run.h"

namespace sil {
namespace {

enum class WalkState { kCreated, kSuspended, kFinished };

struct WalkObject {
  PyObject_HEAD
  PyObject* globals;  // the module namespace: ImageData and os are looked up at use
  PyObject* folder;   // the argument as given; read only when the walk starts
  WalkRun* run;       // once started, until finished
  WalkState state;
  bool running;  // inside next/send/throw, possibly with the interpreter lock released
};

WalkObject* as_walk(PyObject* self) { return reinterpret_cast<WalkObject*>(self); }

void release_run(WalkObject* self) {
  delete self->run;
  self->run = nullptr;
}

void finish(WalkObject* self) {
  release_run(self);
  self->state = WalkState::kFinished;
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
    const Namespace ns(self->globals);
    if (self->state == WalkState::kCreated) {
      self->state = WalkState::kSuspended;
      // The walk starts here, not when the generator is made.
      self->run = new WalkRun(ns, self->folder);
    }
    record = self->run->next_record(ns);
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
  return 0;
}

int walk_clear(PyObject* self_object) {
  WalkObject* self = as_walk(self_object);
  Py_CLEAR(self->globals);
  Py_CLEAR(self->folder);
  return 0;
}

void walk_dealloc(PyObject* self_object) {
  PyObject_GC_UnTrack(self_object);
  WalkObject* self = as_walk(self_object);
  release_run(self);
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

// Iterator protocol plus send/throw/close: what collections.abc.Generator asks for.
PyTypeObject walk_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "search_index_lib.folder_walk",
    .tp_basicsize = sizeof(WalkObject),
    .tp_dealloc = walk_dealloc,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = walk_traverse,
    .tp_clear = walk_clear,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = walk_iternext,
    .tp_methods = walk_methods,
    .tp_getset = walk_getset,
};

}  // namespace

py::object make_walk_generator(const Namespace& ns, py::handle folder) {
  if (!(walk_type.tp_flags & Py_TPFLAGS_READY)) {
    if (PyType_Ready(&walk_type) < 0) throw py::error_already_set();
  }
  WalkObject* self = PyObject_GC_New(WalkObject, &walk_type);
  if (self == nullptr) throw py::error_already_set();
  self->globals = Py_NewRef(ns.dict());
  self->folder = Py_NewRef(folder.ptr());
  self->run = nullptr;
  self->state = WalkState::kCreated;
  self->running = false;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(self));
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
}

}  // namespace sil
