#include "index/parallel_flat_search.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <deque>
#include <thread>
#include <utility>
#include <vector>

namespace sil {
namespace {

// Below this many stored floats a second thread costs more than it saves.
constexpr long long kMinStoredFloats = 1LL << 22;
// Range boundaries fall on multiples of this many rows, so that every row is met at the same
// place of faiss's blocks of rows as in a whole search.
constexpr long long kRowAlignment = 256;
constexpr int kMaxThreads = 8;

// A writable or read-only view of a C-ordered buffer, released on every path.
class BufferView {
 public:
  explicit BufferView(py::handle object) {
    if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0) throw py::error_already_set();
  }
  ~BufferView() { PyBuffer_Release(&view_); }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  template <typename T>
  T* data() const { return static_cast<T*>(view_.buf); }

 private:
  Py_buffer view_;
};

struct Shape {
  long long queries = 0;
  long long rows = 0;
  long long dimension = 0;
  long long k = 0;
};

// The shape of the search when the parallel road applies to it, otherwise queries == 0.
Shape applicable_shape(const py::module_& np, const py::module_& faiss, py::handle index,
                       py::handle x, py::handle k) {
  Shape shape;
  if (!PyLong_CheckExact(k.ptr()) || !py::type::of(x).is(np.attr("ndarray"))) return shape;
  if (!comparison_holds(x.attr("dtype"), np.attr("float32"), Py_EQ) ||
      !is_true(x.attr("flags").attr("c_contiguous")) || x.attr("ndim").cast<int>() != 2) {
    return shape;
  }
  py::tuple x_shape = x.attr("shape");
  const long long queries = x_shape[0].cast<long long>();
  const long long dimension = index.attr("d").cast<long long>();
  const long long rows = index.attr("ntotal").cast<long long>();
  const long long wanted = k.cast<long long>();
  const long long blas_threshold =
      faiss.attr("cvar").attr("distance_compute_blas_threshold").cast<long long>();
  // Many queries take faiss's matrix-product road, which rounds differently.
  if (queries < 1 || queries >= blas_threshold || x_shape[1].cast<long long>() != dimension) return shape;
  if (wanted < 1 || rows * dimension < kMinStoredFloats) return shape;
  // Norms cached by sync_l2norms make faiss compute distances another way.
  if (py::hasattr(index, "cached_l2norms") &&
      index.attr("cached_l2norms").attr("size")().cast<long long>() != 0) {
    return shape;
  }
  return Shape{queries, rows, dimension, wanted};
}

int thread_count(const py::module_& faiss) {
  const int allowed = faiss.attr("omp_get_max_threads")().cast<int>();
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  return std::min({allowed, cores, kMaxThreads});
}

struct Range {
  long long first = 0;
  long long count = 0;
  py::object distances;  // (queries, k) float32
  py::object labels;     // (queries, k) int64, numbered within the range
};

std::vector<Range> split_rows(const Shape& shape, int threads) {
  long long per_range = (shape.rows + threads - 1) / threads;
  per_range = (per_range + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
  std::vector<Range> ranges;
  for (long long first = 0; first < shape.rows; first += per_range) {
    ranges.push_back(Range{first, std::min(per_range, shape.rows - first)});
  }
  return ranges;
}

// Runs every range's search, the first on this thread and the others on threads of their
// own; faiss lets go of the interpreter lock while it computes. False when one failed.
bool search_ranges(const std::vector<py::object>& calls) {
  std::atomic<bool> failed = false;
  auto run = [&failed](const py::object& call) {
    try {
      call();
    } catch (py::error_already_set&) {
      failed = true;
    }
  };
  std::vector<std::thread> threads;
  for (std::size_t i = 1; i < calls.size(); ++i) {
    threads.emplace_back([&, i] {
      py::gil_scoped_acquire gil;
      run(calls[i]);
    });
  }
  run(calls[0]);
  {
    py::gil_scoped_release unlocked;
    for (std::thread& thread : threads) thread.join();
  }
  return !failed;
}

struct Candidate {
  float distance;
  std::int64_t label;
};

// Merges the ranges' answers for every query into `distances` and `labels`. False when a
// range found fewer than k rows (faiss leaves out rows whose distance overflows) or a
// distance is not a number, which has no order.
bool merge(const Shape& shape, const std::vector<Range>& ranges, float* distances, std::int64_t* labels) {
  std::deque<BufferView> range_distances, range_labels;
  for (const Range& range : ranges) {
    range_distances.emplace_back(range.distances);
    range_labels.emplace_back(range.labels);
  }
  std::vector<Candidate> candidates;
  for (long long query = 0; query < shape.queries; ++query) {
    candidates.clear();
    for (std::size_t r = 0; r < ranges.size(); ++r) {
      const float* d = range_distances[r].data<float>() + query * shape.k;
      const std::int64_t* l = range_labels[r].data<std::int64_t>() + query * shape.k;
      for (long long j = 0; j < shape.k; ++j) {
        if (l[j] < 0) return false;
        candidates.push_back({d[j], l[j] + ranges[r].first});
      }
    }
    for (const Candidate& candidate : candidates) {
      if (std::isnan(candidate.distance)) return false;
    }
    // faiss keeps, of equal distances, the lower row first: the same order as here.
    std::partial_sort(candidates.begin(), candidates.begin() + shape.k, candidates.end(),
                      [](const Candidate& a, const Candidate& b) {
                        return a.distance < b.distance || (a.distance == b.distance && a.label < b.label);
                      });
    for (long long j = 0; j < shape.k; ++j) {
      distances[query * shape.k + j] = candidates[j].distance;
      labels[query * shape.k + j] = candidates[j].label;
    }
  }
  return true;
}

}  // namespace

py::object search_rows_in_parallel(py::handle index, py::handle x, py::handle k) {
  const py::module_ np = py::module_::import("numpy");
  const py::module_ faiss = py::module_::import("faiss");
  const Shape shape = applicable_shape(np, faiss, index, x, k);
  const int threads = shape.queries == 0 ? 0 : thread_count(faiss);
  if (threads < 2) return py::none();
  std::vector<Range> ranges = split_rows(shape, threads);
  if (ranges.size() < 2) return py::none();
  for (const Range& range : ranges) {
    if (range.count < shape.k) return py::none();
  }

  // The stored rows as one matrix: IndexFlatL2's own get_xb, not a subclass's.
  const py::object rows = faiss.attr("rev_swig_ptr")(faiss.attr("IndexFlatL2").attr("get_xb")(index),
                                                     shape.rows * shape.dimension)
                              .attr("reshape")(shape.rows, shape.dimension);
  const py::object swig_ptr = faiss.attr("swig_ptr");
  const py::object knn = faiss.attr("knn_L2sqr");
  const py::object result_shape = py::make_tuple(shape.queries, shape.k);
  std::vector<py::object> calls;
  for (Range& range : ranges) {
    range.distances = np.attr("empty")(result_shape, py::arg("dtype") = np.attr("float32"));
    range.labels = np.attr("empty")(result_shape, py::arg("dtype") = np.attr("int64"));
    const py::object part = rows[py::slice(range.first, range.first + range.count, 1)];
    calls.push_back(py::module_::import("functools").attr("partial")(
        knn, swig_ptr(x), swig_ptr(part), shape.dimension, shape.queries, range.count, shape.k,
        swig_ptr(range.distances), swig_ptr(range.labels)));
  }
  if (!search_ranges(calls)) return py::none();

  py::object distances = np.attr("empty")(result_shape, py::arg("dtype") = np.attr("float32"));
  py::object labels = np.attr("empty")(result_shape, py::arg("dtype") = np.attr("int64"));
  {
    const BufferView distance_view(distances), label_view(labels);
    if (!merge(shape, ranges, distance_view.data<float>(), label_view.data<std::int64_t>())) {
      return py::none();
    }
  }
  return py::make_tuple(distances, labels);
}

}  // namespace sil
