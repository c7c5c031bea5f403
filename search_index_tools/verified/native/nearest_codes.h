// Exact nearest binary codes by Hamming distance: the candidate index's word of every
// descriptor (its nearest top word, then the nearest leaf listed under that one).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

namespace verified_match {

using Codes = pybind11::array_t<uint8_t, pybind11::array::c_style | pybind11::array::forcecast>;

// Codes in the layout the distance loops read: groups of eight codes, each group held as its
// codes' first 64-bit words, then their second words, and so on, so that one vector register
// holds the same word of eight codes. A range of codes starts on a group of its own; the
// lanes past its end are zeros that are never counted.
class CodeGroups {
 public:
  CodeGroups() = default;
  explicit CodeGroups(size_t words_per_code) : words_per_code_(words_per_code) {}
  // Appends `count` codes (rows of words_per_code 64-bit words) as a range; returns its first
  // group.
  size_t add_range(const uint8_t* codes, size_t count);
  size_t words_per_code() const { return words_per_code_; }
  const uint64_t* group(size_t index) const { return words_.data() + index * words_per_code_ * 8; }

 private:
  size_t words_per_code_ = 0;
  std::vector<uint64_t> words_;
};

// One way of computing distances: eight codes at a time with AVX-512's popcount, where the
// processor has it, or one at a time on any.
enum class Road { kAvx512, kPortable };

// The position (within the range) of the nearest of `count` codes starting at group `first`,
// the lowest one among equally near codes; -1 when the range is empty.
int64_t nearest_in_range(Road road, const uint64_t* query, const CodeGroups& groups, size_t first,
                         size_t count);

// The two-level tree of words: every leaf is listed under its nearest top code (the lowest
// one among equally near), leaves of a list in their order; a descriptor's word is the number
// of its nearest leaf (the lowest among equally near) in its nearest top code's list, -1 when
// that list is empty.
class WordTree {
 public:
  WordTree(Codes top, Codes leaves, const std::string& road);
  pybind11::array_t<int64_t> words(Codes descriptors, const std::string& road) const;
  // The list (top code) every leaf is listed under, by leaf number.
  pybind11::array_t<int64_t> leaf_lists() const;

 private:
  size_t width_;  // bytes of a code
  size_t top_count_;
  CodeGroups top_;
  CodeGroups leaves_;
  std::vector<size_t> list_first_group_;
  std::vector<size_t> list_size_;
  std::vector<int64_t> leaf_numbers_;  // the leaf numbers of every list, lists in turn
  std::vector<size_t> list_offset_;    // where each list starts in leaf_numbers_
};

// The position of the nearest of `codes` (the lowest among equally near) for every query.
pybind11::array_t<int64_t> nearest_codes(Codes codes, Codes queries, const std::string& road);

// The roads this processor can take, the fastest first; "" asks for the fastest.
std::vector<std::string> nearest_code_roads();

}  // namespace verified_match
