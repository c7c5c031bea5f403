// Filtering and ranking of the per-image match results of one crop search.
#pragma once

#include "module/python_helpers.h"

namespace sil {

// `results[i]` is the MatchedResult or None of `records[i]`. Drops the images without a
// result from both lists, ranks the rest by number of matched points (highest first, ties in
// listing order) and returns (ranked positions[:max_return], ranked results[:max_return],
// records that gave a result). The cuts are host slices, so 0 gives nothing and -d leaves
// out the last d entries.
py::tuple rank_matched_results(const py::list& results, const py::list& records,
                               py::handle max_return);

}  // namespace sil
