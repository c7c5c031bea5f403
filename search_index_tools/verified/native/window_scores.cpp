#include "window_scores.h"

#include <immintrin.h>

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

// The best product of one picture's windows with the queries, one window and query at a time:
// the reference the vector road is held to. Products of a signed byte and a 16-bit query
// summed over 32 components stay far inside 32 bits.
int32_t portable_best(const int8_t* windows, size_t first, size_t window_count,
                      const int16_t* queries, size_t query_count) {
  int32_t best = std::numeric_limits<int32_t>::min();
  for (size_t window = first; window < window_count; ++window) {
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

constexpr size_t kLanes = 8;  // windows summed at once

// The same with AVX2, eight windows at a time: a window's bytes are widened to 16 bits once
// and multiplied with every query (pairs summed into 32 bits), and the eight windows' partial
// sums are folded together so that one register holds their eight totals. Integer sums in any
// order are the same: the result equals the portable road's.
__attribute__((target("avx2"))) int32_t avx2_best(const int8_t* windows, size_t window_count,
                                                  const int16_t* queries, size_t query_count) {
  const size_t whole = window_count / kLanes * kLanes;
  __m256i best = _mm256_set1_epi32(std::numeric_limits<int32_t>::min());
  for (size_t first = 0; first < whole; first += kLanes) {
    __m256i low[kLanes], high[kLanes];
    for (size_t lane = 0; lane < kLanes; ++lane) {
      const int8_t* vector = windows + (first + lane) * kDimension;
      low[lane] = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(vector)));
      high[lane] =
          _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(vector + 16)));
    }
    for (size_t query = 0; query < query_count; ++query) {
      const int16_t* weights = queries + query * kDimension;
      const __m256i weights_low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights));
      const __m256i weights_high =
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights + 16));
      __m256i sums[kLanes];
      for (size_t lane = 0; lane < kLanes; ++lane) {
        sums[lane] = _mm256_add_epi32(_mm256_madd_epi16(low[lane], weights_low),
                                      _mm256_madd_epi16(high[lane], weights_high));
      }
      // Pairwise sums of neighbours, three times: each 128-bit half then holds four windows'
      // half totals; the two halves added give window w's total in lane w.
      const __m256i pairs01 = _mm256_hadd_epi32(sums[0], sums[1]);
      const __m256i pairs23 = _mm256_hadd_epi32(sums[2], sums[3]);
      const __m256i pairs45 = _mm256_hadd_epi32(sums[4], sums[5]);
      const __m256i pairs67 = _mm256_hadd_epi32(sums[6], sums[7]);
      const __m256i quads0123 = _mm256_hadd_epi32(pairs01, pairs23);
      const __m256i quads4567 = _mm256_hadd_epi32(pairs45, pairs67);
      const __m256i totals =
          _mm256_add_epi32(_mm256_permute2x128_si256(quads0123, quads4567, 0x20),
                           _mm256_permute2x128_si256(quads0123, quads4567, 0x31));
      best = _mm256_max_epi32(best, totals);
    }
  }
  alignas(32) int32_t lanes[kLanes];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), best);
  int32_t result = *std::max_element(lanes, lanes + kLanes);
  if (whole < window_count) {
    result = std::max(result, portable_best(windows, whole, window_count, queries, query_count));
  }
  return result;
}

}  // namespace

py::array_t<int64_t> best_window_scores(const WindowVectors& vectors, const QueryVectors& queries,
                                        const PictureRows& rows, const std::string& road) {
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
  const bool vector_road = road == "avx2" || (road.empty() && __builtin_cpu_supports("avx2"));
  if (road == "avx2" && !__builtin_cpu_supports("avx2")) {
    throw std::invalid_argument("this processor has no AVX2");
  }
  if (!road.empty() && road != "avx2" && road != "portable") {
    throw std::invalid_argument("road must be \"avx2\", \"portable\" or \"\" (the fastest)");
  }
  {
    // Only the arrays' memory is read from here on: other threads may run meanwhile.
    py::gil_scoped_release unlocked;
    for (size_t index = 0; index < count; ++index) {
      const int8_t* picture = base + static_cast<size_t>(wanted[index]) * windows * kDimension;
      out[index] = vector_road ? avx2_best(picture, windows, weights, query_count)
                               : portable_best(picture, 0, windows, weights, query_count);
    }
  }
  return best;
}

}  // namespace verified_match
