// The module's fast roads, declared in one list (src/fast_roads.cpp).
//
// A fast road does a function's work in fewer steps than its definition spells out: taking
// stored work from the feature store, reusing a compiled pattern, mapping the index file. It stands
// in for calls of names of the module namespace, so it is taken only while every one of those names
// is still bound to the very object start-up bound: a host that rebinds one of them gets exactly
// what it asked for, the road not taken. A name may be dotted ("json.dumps"): then the module
// attribute and each attribute after it must be start-up's.
#pragma once

#include <span>

#include "module/python_helpers.h"

namespace sil {

enum class FastRoad {
  kStoredVectors,          // load_images takes vectors from the feature store
  kStoredVectorPruning,    // index_a_directory drops stored work of files gone from the folder
  kStoredKeypoints,        // the crop search takes keypoints from the feature store
  kStoredKeypointPruning,  // cropped_search drops stored work of files gone from the folder
  kCompiledPattern,        // the image test reuses the compiled pattern
  kMappedIndex,            // the cached index file is mapped, not read
  kChunkedRows,            // a build normalises and adds its rows in chunks
};

struct FastRoadDeclaration {
  FastRoad road;
  const char* name;                         // for messages and tests
  bool uses_feature_store;                  // also closed while the store is turned off
  std::span<const char* const> depends_on;  // names of the module namespace
};

// Every road, in the order of FastRoad.
std::span<const FastRoadDeclaration> fast_road_declarations();

// Whether `road` may be taken now.
bool road_open(const Namespace& ns, FastRoad road);

}  // namespace sil
