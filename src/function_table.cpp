// The fourteen module functions: their names, parameters, annotations, docstrings and
// bodies, in the order in which start-up binds them. This is the one place that knows every
// subsystem, so it sits above them all; src/module/ only knows the type of a row.
#include "module/function_row.h"

namespace sil {

// The bodies, each defined in the folder of its subsystem, which needs no header for them:
// nothing but this table calls a body directly.
// imaging/: square padding, vectorisation and parallel loading.
BodyFunction padding_square_image, load_image, load_images;
// catalogue/: recursive walk, image filter and folder fingerprint.
BodyFunction absolute_path_recursive_a_directory, get_images_absolute_path_recursive_a_directory,
    compute_md5_of_files, is_images_in_dir_changed;
// index/: index build and cache, similarity search.
BodyFunction index_a_directory, search_images, search_image;
// crop_search/: keypoint matching, parallel search and ranking, entry point.
BodyFunction live_search_find_matched, live_search_process_image, live_search_similar_cropped,
    cropped_search;

namespace {

constexpr EntryCheck kStr = EntryCheck::kStr;
constexpr EntryCheck kInt = EntryCheck::kInt;

// Docstrings are stored the way an indented docstring is written in source.
constexpr const char* kPaddingDoc =
    "\n"
    "    Pad the image to make it square.\n"
    "    This code added trying to resolve the problem that images different sizes causing the "
    "search to fail\n"
    "    ";
constexpr const char* kChangedDoc =
    "\n"
    "    Check if the directory has changed since the last time it was indexed\n"
    "    ";

}  // namespace

// Parameters read {name, annotation, entry check}; absent parts have none.
const std::vector<FunctionSpec>& function_table() {
  static const std::vector<FunctionSpec> table = {
      {.name = "padding_square_image",
       .parameters = {{"img", "Image"}},
       .returns = "Image",
       .doc = kPaddingDoc,
       .body = padding_square_image},
      {.name = "load_image", .parameters = {{"file"}}, .body = load_image},
      {.name = "load_images",
       .parameters = {{"all_images_metadata", "List[ImageData]"}},
       .returns = "List[np.ndarray]",
       .body = load_images},
      {.name = "absolute_path_recursive_a_directory",
       .parameters = {{"folder"}},
       .returns = "Iterable[ImageData]",
       .body = absolute_path_recursive_a_directory},
      {.name = "get_images_absolute_path_recursive_a_directory",
       .parameters = {{"folder"}},
       .returns = "Iterable[ImageData]",
       .body = get_images_absolute_path_recursive_a_directory},
      {.name = "compute_md5_of_files",
       .parameters = {{"file_metadata", "List[ImageData]"}},
       .returns = "str",
       .body = compute_md5_of_files},
      {.name = "is_images_in_dir_changed",
       .parameters = {{"all_images_metadata", "List[ImageData]"}},
       .returns = "bool",
       .doc = kChangedDoc,
       .body = is_images_in_dir_changed},
      {.name = "search_images",
       .parameters = {{"db", "faiss.IndexFlatL2"},
                      {"query_image", "np.ndarray"},
                      {"k", "int", kInt}},
       .returns = "Tuple[np.ndarray, np.ndarray]",
       .body = search_images},
      {.name = "index_a_directory",
       .parameters = {{"folder"}},
       .returns = "Tuple[faiss.IndexFlatL2, List[ImageData]]",
       .body = index_a_directory},
      {.name = "search_image",
       .parameters = {{"image_path", "str", kStr}, {"in_folder_path", "str", kStr}},
       .returns = "List[str]",
       .body = search_image},
      {.name = "live_search_find_matched",
       .parameters = {{"image_path", "str", kStr}, {"cropped_image", "np.ndarray"}},
       .returns = "Optional[MatchedResult]",
       .body = live_search_find_matched},
      {.name = "live_search_process_image",
       .parameters = {{"payload"}},
       .body = live_search_process_image},
      {.name = "live_search_similar_cropped",
       .parameters = {{"crop_path", "str", kStr},
                      {"list_image_data", "List[ImageData]"},
                      {"max_return", "int", kInt}},
       .returns = "Tuple[List[int], List[MatchedResult]]",
       .last_default = 25,
       .body = live_search_similar_cropped},
      {.name = "cropped_search",
       .parameters = {{"image_path", "str", kStr}, {"in_folder_path", "str", kStr}},
       .returns = "List[str]",
       .body = cropped_search},
  };
  return table;
}

}  // namespace sil
