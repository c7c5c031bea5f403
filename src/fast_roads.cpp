// The one list of the module's fast roads and the names each stands in for (see
// module/fast_roads.h). Like the function table, this file knows every subsystem's names.
#include "module/fast_roads.h"

#include "module/own_bindings.h"
#include "store/feature_store.h"

namespace sil {
namespace {

using Names = const char* const[];

constexpr Names kStoredVectorNames = {"load_image", "padding_square_image", "Image",
                                      "UnidentifiedImageError", "np"};
constexpr Names kStoredVectorPruningNames = {"load_image",
                                             "padding_square_image",
                                             "Image",
                                             "UnidentifiedImageError",
                                             "np",
                                             "load_images",
                                             "absolute_path_recursive_a_directory"};
constexpr Names kStoredKeypointNames = {"live_search_process_image", "live_search_find_matched",
                                        "cv2", "MatchedResult"};
constexpr Names kStoredKeypointPruningNames = {"live_search_process_image",
                                               "live_search_find_matched",
                                               "cv2",
                                               "MatchedResult",
                                               "live_search_similar_cropped",
                                               "get_images_absolute_path_recursive_a_directory"};
constexpr Names kCompiledPatternNames = {"re", "re.search", "re.compile"};
constexpr Names kMappedIndexNames = {"faiss", "faiss.read_index", "faiss.IndexFlatL2"};
constexpr Names kChunkedRowNames = {"np", "faiss"};

constexpr FastRoadDeclaration kRoads[] = {
    {FastRoad::kStoredVectors, "stored_vectors", true, kStoredVectorNames},
    {FastRoad::kStoredVectorPruning, "stored_vector_pruning", true, kStoredVectorPruningNames},
    {FastRoad::kStoredKeypoints, "stored_keypoints", true, kStoredKeypointNames},
    {FastRoad::kStoredKeypointPruning, "stored_keypoint_pruning", true,
     kStoredKeypointPruningNames},
    {FastRoad::kCompiledPattern, "compiled_pattern", false, kCompiledPatternNames},
    {FastRoad::kMappedIndex, "mapped_index", false, kMappedIndexNames},
    {FastRoad::kChunkedRows, "chunked_rows", false, kChunkedRowNames},
};

}  // namespace

std::span<const FastRoadDeclaration> fast_road_declarations() { return kRoads; }

bool road_open(const Namespace& ns, FastRoad road) {
  const FastRoadDeclaration& declaration = kRoads[static_cast<int>(road)];
  if (declaration.uses_feature_store && !feature_store_enabled()) return false;
  return are_own_bindings(ns, declaration.depends_on);
}

}  // namespace sil
