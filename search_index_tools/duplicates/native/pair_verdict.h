// The verdict on one candidate pair of the duplicate finder: the same picture or not, under
// which transform, how alike, and whether a frame was cut.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "coarse_vectors.h"
#include "frame_compare.h"

namespace pair_compare {

struct Verdict {
  bool same;
  int transform;  // turns the second picture into the first
  double similarity;
  bool cropped;
};

// The coarse vectors of one picture, as the candidate search compares them.
struct CoarseVectors {
  Coarse sharp, blurred;
};

// The coarse vectors of a scan's pictures, by their place among the scan's pictures, shared
// by every call that compares the scan's pairs, on any thread: each is worked out once.
class ScanCoarse {
 public:
  explicit ScanCoarse(long count);
  long count() const { return count_; }
  const CoarseVectors& of(const Tables& tables, long place, Thumbnail thumbnail);

 private:
  long count_;
  std::vector<CoarseVectors> coarse_;
  std::unique_ptr<std::once_flag[]> once_;
};

// What the verdicts on many pairs work out once per picture, when a pair first needs it: a
// picture is in several candidate pairs. With a ScanCoarse, the coarse vectors are the scan's
// (`places` gives each thumbnail's place among the scan's pictures).
class PictureMemo {
 public:
  PictureMemo(const Tables& tables, const std::uint8_t* thumbnails, long count,
              ScanCoarse* scan = nullptr, const long* places = nullptr);
  const CoarseVectors& coarse(long picture);
  Thumbnail thumbnail(long picture) const { return thumbnails_ + picture * kThumbnailPixels; }

 private:
  const Tables& tables_;
  const std::uint8_t* thumbnails_;
  ScanCoarse* scan_;
  const long* places_;
  std::vector<CoarseVectors> coarse_;
  std::vector<char> known_;
};

// The first picture of a run of pairs that share it, prepared when one of them is first
// compared in full: many candidate pairs are decided without that (no transform fits both
// shapes, or none is worth comparing).
class LazyPrepared {
 public:
  LazyPrepared(const Tables& tables, Thumbnail thumbnail)
      : tables_(tables), thumbnail_(thumbnail) {}
  const Prepared& get() {
    if (!prepared_) prepared_.emplace(prepare(tables_, thumbnail_));
    return *prepared_;
  }

 private:
  const Tables& tables_;
  Thumbnail thumbnail_;
  std::optional<Prepared> prepared_;
};

// A pair of pictures with structure, by their places in the memo's thumbnails (`first`
// prepared when needed). The proposed transforms (a bit per transform in `proposed`) are compared;
// when none reaches the threshold, the other turns that the shapes allow and under which the two
// pictures' coarse vectors (sharp or blurred) agree as a candidate would are compared too,
// most alike first, until one reaches it.
Verdict verify_structured(const Tables& tables, PictureMemo& memo, LazyPrepared& first,
                          long first_picture, long second_picture, Size size_first,
                          Size size_second, unsigned proposed, double threshold);

// A pair of plain pictures: the same when their grey levels nearly are, under the first
// proposed transform that the shapes allow.
Verdict verify_plain(const Tables& tables, Thumbnail first, Thumbnail second, Size size_first,
                     Size size_second, unsigned proposed);

// Whether two plain pictures (b turned by `index`) have nearly the same grey levels.
bool plain_alike(const Tables& tables, Thumbnail a, Thumbnail b, int index);

}  // namespace pair_compare
