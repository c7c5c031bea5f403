#include "catalogue/walk_run.h"

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

WalkRun::WalkRun(const Namespace& ns, py::handle folder) {
  const py::object prefix = ns["os"].attr("path").attr("abspath")(folder);
  const py::object listing = steal_or_throw(PyOS_FSPath(folder.ptr()));
  bytes_paths_ = PyBytes_Check(prefix.ptr());
  kwnames_ = py::make_tuple("image_path", "last_modified");
  walker_ = std::make_unique<DirectoryWalker>(fs_encode(listing), fs_encode(prefix));
}

bool WalkRun::next_file(WalkedFile& file) {
  AllowThreads unlocked;
  return walker_->next(file);
}

PyObject* WalkRun::next_record(const Namespace& ns) {
  WalkedFile file;
  if (!next_file(file)) return nullptr;
  const py::object path = steal_or_throw(
      bytes_paths_ ? PyBytes_FromStringAndSize(file.path.data(), file.path.size())
                   : PyUnicode_DecodeFSDefaultAndSize(file.path.data(), file.path.size()));
  const py::object last_modified = steal_or_throw(PyFloat_FromDouble(file.last_modified));
  const py::object image_data = ns["ImageData"];
  PyObject* args[] = {path.ptr(), last_modified.ptr()};
  return PyObject_Vectorcall(image_data.ptr(), args, 0, kwnames_.ptr());
}

}  // namespace sil
