#include "index/copy_on_write_index.h"

namespace sil {
namespace {

// Where the subclass keeps, in the instance's own dictionary, the index read from the
// mapped file and, once made, the copy in memory of its own.
constexpr const char* kMappedKey = "_mapped_file_index";
constexpr const char* kOwnedKey = "_own_memory_index";

// Members of faiss.IndexFlatL2 that change the stored vectors or hand out a writable
// pointer to them. Each first moves the index into memory of its own.
constexpr const char* kChangingMethods[] = {
    "add",
    "add_c",
    "add_ex",
    "add_with_ids",
    "add_with_ids_c",
    "add_with_ids_ex",
    "add_sa_codes",
    "add_sa_codes_c",
    "reset",
    "remove_ids",
    "remove_ids_c",
    "merge_from",
    "permute_entries",
    "permute_entries_c",
    "get_xb",
};

py::dict instance_dict(py::handle self) {
  PyObject* dict = PyObject_GenericGetDict(self.ptr(), nullptr);
  if (dict == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::dict>(dict);
}

// faiss's shadow classes refuse new instance attributes; the generic setter does not.
void set_instance_attribute(py::handle self, const char* name, py::handle value) {
  if (PyObject_GenericSetAttr(self.ptr(), py::str(name).ptr(), value.ptr()) < 0) {
    throw py::error_already_set();
  }
}

// Copies the mapped vectors into a new IndexFlatL2 and makes `self` that index. The mapped
// index stays referenced by `self`: a search running in another thread may still use it.
// An instance made otherwise (by the class's own constructor) holds its vectors already.
void move_into_own_memory(py::handle self) {
  py::dict state = instance_dict(self);
  if (state.contains(kOwnedKey) || !state.contains(kMappedKey)) return;
  py::object mapped = state[kMappedKey];
  py::object faiss = py::module_::import("faiss");
  py::object owned = faiss.attr("IndexFlatL2")(mapped.attr("d"));
  const Py_ssize_t rows = mapped.attr("ntotal").cast<Py_ssize_t>();
  const Py_ssize_t dimension = mapped.attr("d").cast<Py_ssize_t>();
  if (rows > 0) {
    // A view of the mapped vectors; `add` copies them.
    py::object vectors = faiss.attr("rev_swig_ptr")(mapped.attr("get_xb")(), rows * dimension);
    owned.attr("add")(vectors.attr("reshape")(rows, dimension));
  }
  owned.attr("verbose") = mapped.attr("verbose");
  set_instance_attribute(self, "this", owned.attr("this"));
  state[kOwnedKey] = owned;
}

py::object changing_method(py::handle cls, py::handle base, const char* name) {
  py::object inherited = base.attr(name);
  return py::cpp_function(
      [inherited](py::object self, py::args args, py::kwargs kwargs) {
        move_into_own_memory(self);
        return inherited(self, *args, **kwargs);
      },
      py::name(name), py::is_method(cls));
}

// `codes` gives the vector storage itself, which its methods can resize.
py::object changing_property(py::handle base, const char* name) {
  py::object inherited = base.attr(name);
  py::cpp_function get([inherited](py::object self) {
    move_into_own_memory(self);
    return inherited.attr("__get__")(self, py::type::of(self));
  });
  py::cpp_function set([inherited](py::object self, py::object value) {
    move_into_own_memory(self);
    inherited.attr("__set__")(self, value);
  });
  return py::module_::import("builtins").attr("property")(get, set);
}

// faiss's attributes (ntotal, d, verbose, ...) live in the C++ index, which instances of one
// mapped file share: setting one first gives the instance an index of its own.
py::object setattr_method(py::handle cls, py::handle base) {
  py::object inherited = base.attr("__setattr__");
  return py::cpp_function(
      [inherited](py::object self, py::object name, py::object value) {
        move_into_own_memory(self);
        inherited(self, name, value);
      },
      py::name("__setattr__"), py::is_method(cls));
}

// Pickled or copied, the index becomes a plain IndexFlatL2 holding its vectors: rebuilt by
// faiss.deserialize_index from faiss.serialize_index's bytes, which unpickles anywhere
// faiss does.
py::object reduce_method(py::handle cls) {
  return py::cpp_function(
      [](py::object self, py::object /*protocol*/) {
        py::object faiss = py::module_::import("faiss");
        return py::make_tuple(faiss.attr("deserialize_index"),
                              py::make_tuple(faiss.attr("serialize_index")(self)));
      },
      py::name("__reduce_ex__"), py::is_method(cls));
}

py::object make_mapped_class(py::handle base) {
  py::dict body;
  body["__module__"] = py::str("search_index_lib");
  body["__doc__"] = py::str(
      "An IndexFlatL2 whose vectors are read from the mapped cache file. It searches the "
      "mapping directly and copies its vectors into memory of its own before the first "
      "change or attribute assignment; the cache file is never written.");
  py::object cls = py::type::of(base)(py::str("MappedIndexFlatL2"), py::make_tuple(base), body);
  for (const char* name : kChangingMethods) {
    if (py::hasattr(base, name)) py::setattr(cls, name, changing_method(cls, base, name));
  }
  if (py::hasattr(base, "codes")) py::setattr(cls, "codes", changing_property(base, "codes"));
  py::setattr(cls, "__reduce_ex__", reduce_method(cls));
  py::setattr(cls, "__setattr__", setattr_method(cls, base));
  return cls;
}

// The subclass is made once per faiss class and never released: instances may live until
// the interpreter ends.
py::handle mapped_class(py::handle base) {
  static PyObject* cls = nullptr;
  if (cls == nullptr || py::tuple(py::handle(cls).attr("__bases__"))[0].ptr() != base.ptr()) {
    cls = make_mapped_class(base).release().ptr();
  }
  return cls;
}

}  // namespace

py::object copy_on_write_index(py::handle base, const py::object& mapped) {
  py::handle cls = mapped_class(base);
  py::object index = cls.attr("__new__")(cls);
  set_instance_attribute(index, "this", mapped.attr("this"));
  instance_dict(index)[kMappedKey] = mapped;
  return index;
}

}  // namespace sil
