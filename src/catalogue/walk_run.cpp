#include "catalogue/walk_run.h"

#include "module/fast_roads.h"
#include "module/records.h"

namespace sil {
namespace {

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

}  // namespace

WalkRun::WalkRun(const Namespace& ns, py::handle folder, bool read_ahead) {
  const py::object prefix = ns["os"].attr("path").attr("abspath")(folder);
  const py::object listing = steal_or_throw(PyOS_FSPath(folder.ptr()));
  bytes_paths_ = PyBytes_Check(prefix.ptr());
  kwnames_ = py::make_tuple("image_path", "last_modified");
  if (read_ahead) {
    // Nothing of the host's runs during a walk that reads ahead, so the class checked here
    // is the class of every record.
    own_records_ = road_open(ns, FastRoad::kNativeRecords);
    ahead_ = std::make_unique<ReadAheadWalker>(fs_encode(listing), fs_encode(prefix));
  } else {
    walker_ = std::make_unique<DirectoryWalker>(fs_encode(listing), fs_encode(prefix));
  }
}

bool WalkRun::next_file(WalkedFile& file) {
  if (walker_) {
    AllowThreads unlocked;
    return walker_->next(file);
  }
  for (;;) {
    // No Python code runs between records here, so signals (Ctrl-C) are looked at here.
    if (PyErr_CheckSignals() < 0) throw py::error_already_set();
    const ReadAheadWalker::Step step = ahead_->try_next(file);
    if (step != ReadAheadWalker::Step::kNotYet) return step == ReadAheadWalker::Step::kFile;
    AllowThreads unlocked;
    ahead_->wait_for_more();
  }
}

PyObject* WalkRun::next_record(const Namespace& ns) {
  WalkedFile file;
  if (!next_file(file)) return nullptr;
  const py::object path = steal_or_throw(
      bytes_paths_ ? PyBytes_FromStringAndSize(file.path.data(), file.path.size())
                   : PyUnicode_DecodeFSDefaultAndSize(file.path.data(), file.path.size()));
  const py::object last_modified = steal_or_throw(PyFloat_FromDouble(file.last_modified));
  if (own_records_) return make_own_image_record(path, last_modified).release().ptr();
  const py::object image_data = ns["ImageData"];
  PyObject* args[] = {path.ptr(), last_modified.ptr()};
  return PyObject_Vectorcall(image_data.ptr(), args, 0, kwnames_.ptr());
}

}  // namespace sil
