// search_index_tools.duplicates._pair_compare: the duplicate finder's comparison of candidate
// pairs on their grey thumbnails, made for many pairs per call without the interpreter.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "frame_compare.h"
#include "pair_verdict.h"

namespace py = pybind11;
using pair_compare::kThumbnail;
using pair_compare::kThumbnailPixels;
using pair_compare::Tables;

namespace {

template <typename T>
using Array = py::array_t<T, py::array::c_style | py::array::forcecast>;

void check_shape(const py::array& array, std::initializer_list<py::ssize_t> shape,
                 const char* name) {
  bool fits = array.ndim() == static_cast<py::ssize_t>(shape.size());
  size_t axis = 0;
  for (py::ssize_t extent : shape) {
    if (fits && extent >= 0 && array.shape(axis) != extent) fits = false;
    ++axis;
  }
  if (!fits) throw std::invalid_argument(std::string(name) + ": unexpected shape");
}

double setting(const py::dict& settings, const char* name) {
  if (!settings.contains(name)) throw std::invalid_argument(std::string("settings: no ") + name);
  return settings[name].cast<double>();
}

// The resampling a dense kFine x kThumbnail matrix (row-major) makes, by its non-zero weights.
pair_compare::Resampling sparse(const double* matrix) {
  using namespace pair_compare;
  Resampling resampling;
  for (int row = 0; row < kFine; ++row) {
    for (int column = 0; column < kThumbnail; ++column) {
      const double weight = matrix[row * kThumbnail + column];
      if (weight != 0.0) resampling[row].push_back({column, weight});
    }
  }
  return resampling;
}

// The tables made by the Python side: the fine plane (1024 x 3), the resampling matrices of
// both frames per cut before the line is taken away (cuts x 32 x 64 each), the line's basis
// (32 x 2), the cuts (cuts x 4: a near, a far, b near, b far), the coarse plane (64 x 3) and
// the blurred cell matrix (8 x 64).
Tables make_tables(const Array<double>& plane, const Array<double>& interpolate_a,
                   const Array<double>& interpolate_b, const Array<double>& line_basis,
                   const Array<long>& cuts, const Array<float>& coarse_plane,
                   const Array<float>& blurred_cells, const py::dict& settings) {
  using namespace pair_compare;
  check_shape(plane, {kFinePixels, 3}, "plane");
  check_shape(interpolate_a, {-1, kFine, kThumbnail}, "interpolate_a");
  check_shape(interpolate_b, {interpolate_a.shape(0), kFine, kThumbnail}, "interpolate_b");
  check_shape(line_basis, {kFine, 2}, "line_basis");
  check_shape(cuts, {interpolate_a.shape(0), 4}, "cuts");
  check_shape(coarse_plane, {kCoarseCells, 3}, "coarse_plane");
  check_shape(blurred_cells, {kCoarse, kThumbnail}, "blurred_cells");
  if (cuts.shape(0) == 0) throw std::invalid_argument("cuts: none given");
  Tables tables;
  std::memcpy(tables.plane.data(), plane.data(), sizeof(tables.plane));
  std::memcpy(tables.line_basis.data(), line_basis.data(), sizeof(tables.line_basis));
  std::memcpy(tables.coarse_plane.data(), coarse_plane.data(), sizeof(tables.coarse_plane));
  std::memcpy(tables.blurred_cells.data(), blurred_cells.data(), sizeof(tables.blurred_cells));
  tables.plane_normal.fill(0.0);
  for (int i = 0; i < kFinePixels; ++i) {
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) tables.plane_normal[r * 3 + c] += plane.at(i, r) * plane.at(i, c);
    }
  }
  // Cuts share matrices: each distinct one is kept once.
  std::vector<const double*> distinct;
  auto matrix_of = [&](const double* values) {
    const size_t size = kFine * kThumbnail * sizeof(double);
    for (size_t m = 0; m < distinct.size(); ++m) {
      if (std::memcmp(distinct[m], values, size) == 0) return static_cast<int>(m);
    }
    distinct.push_back(values);
    tables.resampling.push_back(sparse(values));
    return static_cast<int>(distinct.size() - 1);
  };
  const auto c = cuts.unchecked<2>();
  for (py::ssize_t i = 0; i < cuts.shape(0); ++i) {
    const int matrix_a = matrix_of(interpolate_a.data(i, 0, 0));
    const int matrix_b = matrix_of(interpolate_b.data(i, 0, 0));
    tables.cuts.push_back({static_cast<int>(c(i, 0)), static_cast<int>(c(i, 1)),
                           static_cast<int>(c(i, 2)), static_cast<int>(c(i, 3)), matrix_a,
                           matrix_b});
  }
  tables.serves_a.assign(tables.resampling.size(), 0);
  tables.serves_b.assign(tables.resampling.size(), 0);
  for (const AxisCut& cut : tables.cuts) {
    tables.serves_a[cut.matrix_a] = 1;
    tables.serves_b[cut.matrix_b] = 1;
  }
  // Named, so a setting added to the structure cannot take another's value.
  tables.settings = {
      .kept_structure = setting(settings, "kept_structure"),
      .noise_energy = setting(settings, "noise_energy"),
      .block_tie = setting(settings, "block_tie"),
      .crop_gain = setting(settings, "crop_gain"),
      .cut_tie = setting(settings, "cut_tie"),
      .flat_profile = setting(settings, "flat_profile"),
      .uncut_minimum = setting(settings, "uncut_minimum"),
      .full_search_below = setting(settings, "full_search_below"),
      .aspect_limit = setting(settings, "aspect_limit"),
      .plain_mean_difference = setting(settings, "plain_mean_difference"),
      .plain_block_limit = setting(settings, "plain_block_limit"),
      .coarse_minimum = setting(settings, "coarse_minimum"),
      .blurred_minimum = setting(settings, "blurred_minimum"),
      .tried = static_cast<int>(setting(settings, "tried")),
  };
  return tables;
}

const std::uint8_t* thumbnail_of(const Array<std::uint8_t>& thumbnail, const char* name) {
  check_shape(thumbnail, {kThumbnail, kThumbnail}, name);
  return thumbnail.data();
}

pair_compare::Size size_of(const py::tuple& size) {
  if (size.size() != 2) throw std::invalid_argument("a size is (width, height)");
  return {size[0].cast<long>(), size[1].cast<long>()};
}

// Verdicts on candidate pairs of the thumbnails (n x 64 x 64), as arrays: same, transform,
// similarity, cropped.
py::tuple verdicts(const Tables& tables, const Array<std::uint8_t>& thumbnails,
                   const Array<long>& sizes, const Array<long>& firsts, const Array<long>& seconds,
                   const Array<std::uint8_t>& proposed, const Array<bool>& plain, double threshold,
                   pair_compare::ScanCoarse* scan, const std::optional<Array<long>>& places) {
  check_shape(thumbnails, {-1, kThumbnail, kThumbnail}, "thumbnails");
  const py::ssize_t count = thumbnails.shape(0);
  check_shape(sizes, {count, 2}, "sizes");
  check_shape(firsts, {-1}, "firsts");
  const py::ssize_t pairs = firsts.shape(0);
  check_shape(seconds, {pairs}, "seconds");
  check_shape(proposed, {pairs}, "proposed");
  check_shape(plain, {pairs}, "plain");
  if (scan != nullptr) {
    // Where a thumbnail's coarse vectors are kept: its place among the scan's pictures.
    if (!places) throw std::invalid_argument("places: needed with a scan memo");
    check_shape(*places, {count}, "places");
    for (py::ssize_t i = 0; i < count; ++i) {
      if (places->data()[i] < 0 || places->data()[i] >= scan->count()) {
        throw std::out_of_range("places: a place beyond the scan memo's pictures");
      }
    }
  }
  const long* first = firsts.data();
  const long* second = seconds.data();
  for (py::ssize_t i = 0; i < pairs; ++i) {
    if (first[i] < 0 || first[i] >= count || second[i] < 0 || second[i] >= count) {
      throw std::out_of_range("a pair names a thumbnail that is not there");
    }
  }
  py::array_t<bool> same(pairs), cropped(pairs);
  py::array_t<std::uint8_t> transform(pairs);
  py::array_t<double> similarity(pairs);
  {
    auto out_same = same.mutable_unchecked<1>();
    auto out_cropped = cropped.mutable_unchecked<1>();
    auto out_transform = transform.mutable_unchecked<1>();
    auto out_similarity = similarity.mutable_unchecked<1>();
    const std::uint8_t* pictures = thumbnails.data();
    const long* size = sizes.data();
    const std::uint8_t* masks = proposed.data();
    const bool* is_plain = plain.data();
    py::gil_scoped_release unlocked;
    pair_compare::PictureMemo memo(tables, pictures, count, scan,
                                   scan != nullptr ? places->data() : nullptr);
    // Pairs come sorted by their first picture: it is prepared once for the pairs in a row
    // that share it, when the first of them needs it.
    std::optional<pair_compare::LazyPrepared> prepared;
    long prepared_picture = -1;
    for (py::ssize_t i = 0; i < pairs; ++i) {
      const std::uint8_t* a = pictures + first[i] * kThumbnailPixels;
      const std::uint8_t* b = pictures + second[i] * kThumbnailPixels;
      const pair_compare::Size size_a{size[2 * first[i]], size[2 * first[i] + 1]};
      const pair_compare::Size size_b{size[2 * second[i]], size[2 * second[i] + 1]};
      if (!is_plain[i] && prepared_picture != first[i]) {
        prepared.emplace(tables, a);
        prepared_picture = first[i];
      }
      const pair_compare::Verdict verdict =
          is_plain[i]
              ? pair_compare::verify_plain(tables, a, b, size_a, size_b, masks[i])
              : pair_compare::verify_structured(tables, memo, *prepared, first[i], second[i],
                                                size_a, size_b, masks[i], threshold);
      out_same(i) = verdict.same;
      out_transform(i) = static_cast<std::uint8_t>(verdict.transform);
      out_similarity(i) = verdict.similarity;
      out_cropped(i) = verdict.cropped;
    }
  }
  return py::make_tuple(same, transform, similarity, cropped);
}

}  // namespace

PYBIND11_MODULE(_pair_compare, module) {
  module.doc() = "The duplicate finder's comparison of candidate pairs on their grey thumbnails.";
  py::class_<pair_compare::ScanCoarse>(module, "ScanMemo")
      .def(py::init([](long count) {
             if (count < 0) throw std::invalid_argument("count: not below 0");
             return new pair_compare::ScanCoarse(count);
           }),
           py::arg("count"),
           "What the comparisons of one scan's pairs work out per picture, for `count` pictures,\n"
           "shared by every call (and thread) that compares them.");
  py::class_<Tables>(module, "PairComparer")
      .def(py::init(&make_tables), py::arg("plane"), py::arg("interpolate_a"),
           py::arg("interpolate_b"), py::arg("line_basis"), py::arg("cuts"),
           py::arg("coarse_plane"), py::arg("blurred_cells"), py::arg("settings"),
           "The comparison with its tables and thresholds, as descriptor.py makes them.")
      .def("verdicts", &verdicts, py::arg("thumbnails"), py::arg("sizes"), py::arg("firsts"),
           py::arg("seconds"), py::arg("proposed"), py::arg("plain"), py::arg("threshold"),
           py::arg("memo") = nullptr, py::arg("places") = py::none(),
           "(same, transform, similarity, cropped) arrays: the verdict on each candidate pair\n"
           "(firsts[i], seconds[i]) of the thumbnails, whose proposed transforms are the bits\n"
           "of proposed[i]; plain[i] for a pair of plain pictures. With a ScanMemo, what is\n"
           "worked out per picture is kept there, under places[k] for thumbnail k.")
      .def(
          "compare",
          [](const Tables& tables, const Array<std::uint8_t>& a, const Array<std::uint8_t>& b,
             int index) {
            if (index < 0 || index > 7) throw std::invalid_argument("index: a transform 0 to 7");
            const auto comparison =
                pair_compare::compare(tables, pair_compare::prepare(tables, thumbnail_of(a, "a")),
                                      thumbnail_of(b, "b"), index);
            return py::make_tuple(comparison.similarity, comparison.cropped);
          },
          py::arg("a"), py::arg("b"), py::arg("index"),
          "(similarity, cropped): picture b turned by transform `index` against picture a.")
      .def(
          "best_transform",
          [](const Tables& tables, const Array<std::uint8_t>& a, const Array<std::uint8_t>& b,
             const py::tuple& size_a, const py::tuple& size_b) {
            const auto [index, comparison] =
                pair_compare::best_transform(tables, thumbnail_of(a, "a"), thumbnail_of(b, "b"),
                                             size_of(size_a), size_of(size_b));
            return py::make_tuple(index, comparison.similarity, comparison.cropped);
          },
          py::arg("a"), py::arg("b"), py::arg("size_a"), py::arg("size_b"),
          "(transform, similarity, cropped): the transform under which b looks most like a.");
}
