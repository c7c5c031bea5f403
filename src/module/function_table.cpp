#include "module/function_table.h"

#include "catalogue/catalogue.h"
#include "crop_search/crop_search.h"
#include "imaging/imaging.h"
#include "index/index.h"

namespace sil {
namespace {

constexpr EntryCheck kNone = EntryCheck::kNone;
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

const FunctionSpec kTable[] = {
    {"padding_square_image", 1, {{"img", "Image", kNone}}, "Image", kPaddingDoc, false, 0,
     padding_square_image},
    {"load_image", 1, {{"file", nullptr, kNone}}, nullptr, nullptr, false, 0, load_image},
    {"load_images", 1, {{"all_images_metadata", "List[ImageData]", kNone}}, "List[np.ndarray]",
     nullptr, false, 0, load_images},
    {"absolute_path_recursive_a_directory", 1, {{"folder", nullptr, kNone}},
     "Iterable[ImageData]", nullptr, false, 0, absolute_path_recursive_a_directory},
    {"get_images_absolute_path_recursive_a_directory", 1, {{"folder", nullptr, kNone}},
     "Iterable[ImageData]", nullptr, false, 0, get_images_absolute_path_recursive_a_directory},
    {"compute_md5_of_files", 1, {{"file_metadata", "List[ImageData]", kNone}}, "str", nullptr,
     false, 0, compute_md5_of_files},
    {"is_images_in_dir_changed", 1, {{"all_images_metadata", "List[ImageData]", kNone}}, "bool",
     kChangedDoc, false, 0, is_images_in_dir_changed},
    {"search_images", 3,
     {{"db", "faiss.IndexFlatL2", kNone},
      {"query_image", "np.ndarray", kNone},
      {"k", "int", kInt}},
     "Tuple[np.ndarray, np.ndarray]", nullptr, false, 0, search_images},
    {"index_a_directory", 1, {{"folder", nullptr, kNone}},
     "Tuple[faiss.IndexFlatL2, List[ImageData]]", nullptr, false, 0, index_a_directory},
    {"search_image", 2, {{"image_path", "str", kStr}, {"in_folder_path", "str", kStr}},
     "List[str]", nullptr, false, 0, search_image},
    {"live_search_find_matched", 2,
     {{"image_path", "str", kStr}, {"cropped_image", "np.ndarray", kNone}},
     "Optional[MatchedResult]", nullptr, false, 0, live_search_find_matched},
    {"live_search_process_image", 1, {{"payload", nullptr, kNone}}, nullptr, nullptr, false, 0,
     live_search_process_image},
    {"live_search_similar_cropped", 3,
     {{"crop_path", "str", kStr},
      {"list_image_data", "List[ImageData]", kNone},
      {"max_return", "int", kInt}},
     "Tuple[List[int], List[MatchedResult]]", nullptr, true, 25, live_search_similar_cropped},
    {"cropped_search", 2, {{"image_path", "str", kStr}, {"in_folder_path", "str", kStr}},
     "List[str]", nullptr, false, 0, cropped_search},
};

}  // namespace

const FunctionSpec* function_table(std::size_t* count) {
  *count = sizeof(kTable) / sizeof(kTable[0]);
  return kTable;
}

}  // namespace sil
