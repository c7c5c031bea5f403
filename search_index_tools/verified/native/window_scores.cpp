#include "window_scores.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <vector>

namespace py = pybind11;

namespace verified_match {
namespace {

// The index's vectors are 32 components long; a fixed length lets the compiler unroll and
// vectorise the inner product (eight 16-bit products summed per instruction with AVX2).
constexpr size_t kDimension = 32;

// The best product of one picture's windows with the queries. Products of a signed byte and
// a 16-bit query summed over 32 components stay far inside 32 bits.
__attribute__((target_clones("avx2", "default"))) int64_t best_of_picture(const int8_t* windows,
                                                                          size_t window_count,
                                                                          const int16_t* queries,
                                                                          size_t query_count) {
  int32_t best = std::numeric_limits<int32_t>::min();
  for (size_t window = 0; window < window_count; ++window) {
    const int8_t* vector = windows + window * kDimension;
    for (size_t query = 0; query < query_count; ++query) {
      const int16_t* weights = queries + query * kDimension;
      int32_t sum = 0;
      for (size_t component = 0; component < kDimension; ++component) {
        sum += static_cast<int32_t>(vector[component]) * static_cast<int32_t>(weights[component]);
      }
      best = std::max(best, sum);
    }
  }
  return best;
}

}  // namespace

py::array_t<int64_t> best_window_scores(const WindowVectors& vectors, const QueryVectors& queries,
                                        const PictureRows& rows) {
  if (vectors.ndim() != 3 || static_cast<size_t>(vectors.shape(2)) != kDimension) {
    throw std::invalid_argument("vectors must be (pictures, windows, 32) signed bytes");
  }
  if (queries.ndim() != 2 || static_cast<size_t>(queries.shape(1)) != kDimension ||
      queries.shape(0) == 0) {
    throw std::invalid_argument("queries must be (turns, 32) 16-bit integers, at least one");
  }
  if (rows.ndim() != 1) throw std::invalid_argument("rows must be one-dimensional");
  const size_t pictures = static_cast<size_t>(vectors.shape(0));
  const size_t windows = static_cast<size_t>(vectors.shape(1));
  const size_t count = static_cast<size_t>(rows.shape(0));
  const int64_t* wanted = rows.data();
  for (size_t index = 0; index < count; ++index) {
    if (wanted[index] < 0 || static_cast<size_t>(wanted[index]) >= pictures) {
      throw std::out_of_range("a row is outside the vectors");
    }
  }
  if (windows == 0) throw std::invalid_argument("a picture must have at least one window");
  py::array_t<int64_t> best(static_cast<py::ssize_t>(count));
  int64_t* out = best.mutable_data();
  const int8_t* base = vectors.data();
  const int16_t* weights = queries.data();
  const size_t query_count = static_cast<size_t>(queries.shape(0));
  {
    // Only the arrays' memory is read from here on: other threads may run meanwhile.
    py::gil_scoped_release unlocked;
    for (size_t index = 0; index < count; ++index) {
      const int8_t* picture = base + static_cast<size_t>(wanted[index]) * windows * kDimension;
      out[index] = best_of_picture(picture, windows, weights, query_count);
    }
  }
  return best;
}

}  // namespace verified_match
