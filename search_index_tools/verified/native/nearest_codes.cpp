#include "nearest_codes.h"

#include <immintrin.h>

#include <cstring>
#include <limits>
#include <stdexcept>

namespace py = pybind11;

namespace verified_match {
namespace {

constexpr size_t kLanes = 8;  // codes of a group
constexpr uint64_t kFar = std::numeric_limits<uint64_t>::max();

// One code at a time, on any processor: the reference the vector road is held to.
int64_t portable_nearest(const uint64_t* query, const CodeGroups& groups, size_t first,
                         size_t count) {
  const size_t words = groups.words_per_code();
  uint64_t best = kFar;
  int64_t found = -1;
  for (size_t position = 0; position < count; ++position) {
    const uint64_t* group = groups.group(first + position / kLanes);
    const size_t lane = position % kLanes;
    uint64_t distance = 0;
    for (size_t word = 0; word < words; ++word) {
      distance +=
          static_cast<uint64_t>(__builtin_popcountll(query[word] ^ group[word * kLanes + lane]));
    }
    if (distance < best) {  // strictly nearer: the first of equally near codes stays
      best = distance;
      found = static_cast<int64_t>(position);
    }
  }
  return found;
}

// Eight codes at a time: every lane keeps the nearest of the codes it saw (the first of
// equally near ones); of the lanes holding the smallest distance, the lowest position wins,
// which is the lowest position of all codes at that distance. kWords > 0 fixes the code's
// words at compile time (ORB's four), 0 reads them from the groups.
template <size_t kWords>
__attribute__((target("avx512f,avx512vpopcntdq"))) int64_t
avx512_nearest_of(const uint64_t* query, const CodeGroups& groups, size_t first, size_t count) {
  if (count == 0) return -1;
  const size_t words = kWords > 0 ? kWords : groups.words_per_code();
  const size_t group_count = (count + kLanes - 1) / kLanes;
  __m512i spread_query[kWords > 0 ? kWords : 1];
  if constexpr (kWords > 0) {
    for (size_t word = 0; word < kWords; ++word) {
      spread_query[word] = _mm512_set1_epi64(static_cast<long long>(query[word]));
    }
  }
  __m512i best = _mm512_set1_epi64(static_cast<long long>(kFar));
  __m512i best_position = _mm512_set1_epi64(-1);
  __m512i position = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
  const __m512i step = _mm512_set1_epi64(static_cast<long long>(kLanes));
  for (size_t index = 0; index < group_count; ++index) {
    const uint64_t* group = groups.group(first + index);
    __m512i distance = _mm512_setzero_si512();
    for (size_t word = 0; word < words; ++word) {
      const __m512i code = _mm512_loadu_si512(group + word * kLanes);
      const __m512i spread = kWords > 0 ? spread_query[kWords > 0 ? word : 0]
                                        : _mm512_set1_epi64(static_cast<long long>(query[word]));
      distance = _mm512_add_epi64(distance, _mm512_popcnt_epi64(_mm512_xor_si512(code, spread)));
    }
    const size_t left = count - index * kLanes;
    const __mmask8 valid =
        left >= kLanes ? static_cast<__mmask8>(0xFF) : static_cast<__mmask8>((1u << left) - 1);
    const __mmask8 nearer = _mm512_mask_cmplt_epu64_mask(valid, distance, best);
    best = _mm512_mask_mov_epi64(best, nearer, distance);
    best_position = _mm512_mask_mov_epi64(best_position, nearer, position);
    position = _mm512_add_epi64(position, step);
  }
  const uint64_t smallest = _mm512_reduce_min_epu64(best);
  const __mmask8 holding =
      _mm512_cmpeq_epu64_mask(best, _mm512_set1_epi64(static_cast<long long>(smallest)));
  return _mm512_mask_reduce_min_epi64(holding, best_position);
}

int64_t avx512_nearest(const uint64_t* query, const CodeGroups& groups, size_t first,
                       size_t count) {
  if (groups.words_per_code() == 4) return avx512_nearest_of<4>(query, groups, first, count);
  return avx512_nearest_of<0>(query, groups, first, count);
}

bool avx512_available() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vpopcntdq");
}

Road road_named(const std::string& name) {
  if (name.empty()) return avx512_available() ? Road::kAvx512 : Road::kPortable;
  if (name == "avx512" && avx512_available()) return Road::kAvx512;
  if (name == "portable") return Road::kPortable;
  throw std::invalid_argument("road must be one of nearest_code_roads() or empty, got '" + name +
                              "'");
}

// The number of 64-bit words of a code of `codes` (n, width); width must be a multiple of 8.
size_t words_per_code(const Codes& codes, const char* name) {
  if (codes.ndim() != 2) throw std::invalid_argument(std::string(name) + " must be (n, width)");
  const auto width = static_cast<size_t>(codes.shape(1));
  if (width == 0 || width % 8 != 0) {
    throw std::invalid_argument(std::string(name) +
                                " must be codes of a positive multiple of 8 bytes");
  }
  return width / 8;
}

// The query's words, copied so they are aligned whatever the rows' addresses.
void load_query(const uint8_t* row, size_t words, uint64_t* into) {
  std::memcpy(into, row, words * 8);
}

}  // namespace

size_t CodeGroups::add_range(const uint8_t* codes, size_t count) {
  const size_t first = words_.size() / (words_per_code_ * kLanes);
  const size_t group_count = (count + kLanes - 1) / kLanes;
  words_.resize(words_.size() + group_count * words_per_code_ * kLanes, 0);
  for (size_t position = 0; position < count; ++position) {
    uint64_t* group = words_.data() + (first + position / kLanes) * words_per_code_ * kLanes;
    for (size_t word = 0; word < words_per_code_; ++word) {
      std::memcpy(group + word * kLanes + position % kLanes,
                  codes + (position * words_per_code_ + word) * 8, 8);
    }
  }
  return first;
}

int64_t nearest_in_range(Road road, const uint64_t* query, const CodeGroups& groups, size_t first,
                         size_t count) {
  switch (road) {
    case Road::kAvx512:
      return avx512_nearest(query, groups, first, count);
    case Road::kPortable:
      break;
  }
  return portable_nearest(query, groups, first, count);
}

WordTree::WordTree(Codes top, Codes leaves, const std::string& road_name) {
  const size_t words = words_per_code(top, "top");
  if (words_per_code(leaves, "leaves") != words) {
    throw std::invalid_argument("top and leaves must be codes of one width");
  }
  const Road road = road_named(road_name);
  width_ = words * 8;
  top_count_ = static_cast<size_t>(top.shape(0));
  const auto leaf_count = static_cast<size_t>(leaves.shape(0));
  const uint8_t* top_codes = top.data();
  const uint8_t* leaf_codes = leaves.data();
  py::gil_scoped_release unlocked;
  top_ = CodeGroups(words);
  top_.add_range(top_codes, top_count_);
  // Every leaf goes to the list of its nearest top code, lists keeping the leaves' order.
  std::vector<std::vector<int64_t>> lists(top_count_);
  std::vector<uint64_t> query(words);
  for (size_t leaf = 0; leaf < leaf_count; ++leaf) {
    load_query(leaf_codes + leaf * width_, words, query.data());
    const int64_t cell = nearest_in_range(road, query.data(), top_, 0, top_count_);
    if (cell >= 0) lists[static_cast<size_t>(cell)].push_back(static_cast<int64_t>(leaf));
  }
  leaves_ = CodeGroups(words);
  std::vector<uint8_t> listed;
  for (const std::vector<int64_t>& list : lists) {
    listed.resize(list.size() * width_);
    for (size_t position = 0; position < list.size(); ++position) {
      std::memcpy(listed.data() + position * width_,
                  leaf_codes + static_cast<size_t>(list[position]) * width_, width_);
    }
    list_first_group_.push_back(leaves_.add_range(listed.data(), list.size()));
    list_size_.push_back(list.size());
    list_offset_.push_back(leaf_numbers_.size());
    leaf_numbers_.insert(leaf_numbers_.end(), list.begin(), list.end());
  }
}

py::array_t<int64_t> WordTree::words(Codes descriptors, const std::string& road_name) const {
  if (descriptors.ndim() != 2 || static_cast<size_t>(descriptors.shape(1)) != width_) {
    throw std::invalid_argument("descriptors must be (n, " + std::to_string(width_) + ")");
  }
  const Road road = road_named(road_name);
  const auto n = static_cast<size_t>(descriptors.shape(0));
  py::array_t<int64_t> result(static_cast<py::ssize_t>(n));
  int64_t* out = result.mutable_data();
  const uint8_t* rows = descriptors.data();
  {
    py::gil_scoped_release unlocked;
    const size_t words = width_ / 8;
    std::vector<uint64_t> query(words);
    for (size_t i = 0; i < n; ++i) {
      load_query(rows + i * width_, words, query.data());
      const int64_t cell = nearest_in_range(road, query.data(), top_, 0, top_count_);
      int64_t word = -1;
      if (cell >= 0) {
        const auto list = static_cast<size_t>(cell);
        const int64_t position = nearest_in_range(road, query.data(), leaves_,
                                                  list_first_group_[list], list_size_[list]);
        if (position >= 0) word = leaf_numbers_[list_offset_[list] + static_cast<size_t>(position)];
      }
      out[i] = word;
    }
  }
  return result;
}

py::array_t<int64_t> WordTree::leaf_lists() const {
  py::array_t<int64_t> result(static_cast<py::ssize_t>(leaf_numbers_.size()));
  int64_t* out = result.mutable_data();
  for (size_t list = 0; list < list_size_.size(); ++list) {
    for (size_t position = 0; position < list_size_[list]; ++position) {
      out[leaf_numbers_[list_offset_[list] + position]] = static_cast<int64_t>(list);
    }
  }
  return result;
}

py::array_t<int64_t> nearest_codes(Codes codes, Codes queries, const std::string& road_name) {
  const size_t words = words_per_code(codes, "codes");
  if (words_per_code(queries, "queries") != words) {
    throw std::invalid_argument("codes and queries must be of one width");
  }
  const Road road = road_named(road_name);
  const auto count = static_cast<size_t>(codes.shape(0));
  const auto n = static_cast<size_t>(queries.shape(0));
  py::array_t<int64_t> result(static_cast<py::ssize_t>(n));
  int64_t* out = result.mutable_data();
  const uint8_t* code_rows = codes.data();
  const uint8_t* rows = queries.data();
  {
    py::gil_scoped_release unlocked;
    CodeGroups groups(words);
    groups.add_range(code_rows, count);
    std::vector<uint64_t> query(words);
    for (size_t i = 0; i < n; ++i) {
      load_query(rows + i * words * 8, words, query.data());
      out[i] = nearest_in_range(road, query.data(), groups, 0, count);
    }
  }
  return result;
}

std::vector<std::string> nearest_code_roads() {
  std::vector<std::string> roads;
  if (avx512_available()) roads.emplace_back("avx512");
  roads.emplace_back("portable");
  return roads;
}

}  // namespace verified_match
