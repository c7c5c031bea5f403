#include "index/image_listing.h"

#include "index/package_check.h"

namespace sil {
namespace {

// Whether `re` is the package's module with its own `search` function, which compiles the
// pattern (through a cache) and searches with the compiled pattern.
bool is_standard_re(const py::object& re) {
  if (!is_package(re, "re")) return false;
  const py::object search = re.attr("search");
  return PyFunction_Check(search.ptr()) && PyFunction_GET_GLOBALS(search.ptr()) == PyModule_GetDict(re.ptr());
}

// re.search(FILE_EXTENSION_REGEX, path, re.IGNORECASE), both names read at every test. With
// the standard `re`, the pattern is compiled once for as long as the setting stays the same
// object: re.compile(pattern, flags) is the compilation re.search does, with the same errors,
// and saves its per-call cache look-up, which over 100,000 files is most of the test's time.
class ImageTest {
 public:
  explicit ImageTest(const Namespace& ns) : ns_(ns) {}

  bool matches(py::handle path) {
    py::object re = ns_["re"];
    py::object pattern = ns_["FILE_EXTENSION_REGEX"];
    if (!re.is(re_) || !pattern.is(pattern_)) {
      search_ = is_standard_re(re)
                    ? py::object(re.attr("compile")(pattern, re.attr("IGNORECASE")).attr("search"))
                    : py::object();
      // Holding both objects keeps their identities from being reused by other objects.
      re_ = re;
      pattern_ = pattern;
    }
    if (search_) return is_true(search_(path));
    return is_true(re.attr("search")(pattern, path, re.attr("IGNORECASE")));
  }

 private:
  const Namespace& ns_;
  py::object re_, pattern_;
  py::object search_;  // the compiled pattern's bound search, or none for the plain call
};

}  // namespace

py::list image_listing(const Namespace& ns, py::handle folder) {
  py::object walk = ns["absolute_path_recursive_a_directory"](folder);
  ImageTest is_image(ns);
  const py::str path_name("image_path");
  py::list kept;
  for (py::handle record : walk) {
    if (is_image.matches(py::getattr(record, path_name))) kept.append(record);
  }
  return kept;
}

}  // namespace sil
