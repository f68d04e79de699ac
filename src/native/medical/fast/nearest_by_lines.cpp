#include "nearest_by_lines.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvane::medical::fast {
namespace {

constexpr std::int64_t kProbe = 2;       // half-width of the window for the first bound
constexpr std::int64_t kMaxLines = 125;  // lines a window may span
constexpr double kLargestReach = 1e12;   // index steps: beyond, the window is not used
constexpr std::size_t kSamples = 256;    // x points that give the first bound
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// y's points grouped by line within their bounding box: those of line l are
// [begin_[l], begin_[l + 1]), in order.
class PointLines {
 public:
  PointLines(const std::vector<std::int64_t>& ys, std::size_t ndim) : ys_(ys), ndim_(ndim) {
    for (std::size_t k = 0; k < ndim; ++k) {
      low_[k] = std::numeric_limits<std::int64_t>::max();
      high_[k] = std::numeric_limits<std::int64_t>::min();
    }
    for (std::size_t j = 0; j < ys.size(); ++j) {
      low_[j % ndim] = std::min(low_[j % ndim], ys[j]);
      high_[j % ndim] = std::max(high_[j % ndim], ys[j]);
    }
    lines_ = 1;
    for (std::size_t k = 0; k + 1 < ndim; ++k) {
      lines_ *= static_cast<double>(high_[k] - low_[k] + 1);
    }
  }

  // Lines of the box: the table is made only when there are not many more of them than
  // points (else the caller takes the k-d tree).
  double lines() const noexcept { return lines_; }
  void make_table() {
    begin_.assign(static_cast<std::size_t>(lines_) + 1, 0);
    for (std::size_t j = 0; j < ys_.size() / ndim_; ++j) ++begin_[line_of(&ys_[j * ndim_]) + 1];
    for (std::size_t l = 1; l < begin_.size(); ++l) begin_[l] += begin_[l - 1];
  }

  // Whether p is farther than `reach` steps from the box along some axis.
  bool outside(const std::int64_t* p, const Index& reach) const noexcept {
    for (std::size_t k = 0; k < ndim_; ++k) {
      if (p[k] < low_[k] - reach[k] || p[k] > high_[k] + reach[k]) return true;
    }
    return false;
  }

  // Calls visit(j) for the points of y within `reach` steps of p along every axis, in y's
  // order (lines in row-major order, each in order along the last axis).
  template <class Visit>
  void near(const std::int64_t* p, const Index& reach, Visit&& visit) const {
    if (outside(p, reach)) return;
    const std::size_t outer = ndim_ - 1;
    Index low{};
    Index high{};
    for (std::size_t k = 0; k < outer; ++k) {
      low[k] = std::max(low_[k], p[k] - reach[k]);
      high[k] = std::min(high_[k], p[k] + reach[k]);
    }
    const std::int64_t last = p[outer];
    Index at = low;
    for (;;) {
      const std::size_t line = line_of(at.data());
      // A line's points are in order along it: the window's first is found by bisection
      // (scanned from the line's start, long lines made the search quadratic in them).
      std::size_t j = begin_[line];
      for (std::size_t end = begin_[line + 1]; j < end;) {
        const std::size_t middle = j + (end - j) / 2;
        if (ys_[middle * ndim_ + outer] < last - reach[outer]) {
          j = middle + 1;
        } else {
          end = middle;
        }
      }
      for (; j < begin_[line + 1]; ++j) {
        if (ys_[j * ndim_ + outer] > last + reach[outer]) break;
        visit(j);
      }
      std::size_t k = outer;
      for (;;) {  // the next line of the window
        if (k == 0) return;
        --k;
        if (++at[k] <= high[k]) break;
        at[k] = low[k];
      }
    }
  }

 private:
  std::size_t line_of(const std::int64_t* p) const {
    std::int64_t line = 0;
    for (std::size_t k = 0; k + 1 < ndim_; ++k) {
      line = line * (high_[k] - low_[k] + 1) + (p[k] - low_[k]);
    }
    return static_cast<std::size_t>(line);
  }

  const std::vector<std::int64_t>& ys_;
  std::size_t ndim_;
  Index low_{};
  Index high_{};
  double lines_ = 1;
  std::vector<std::size_t> begin_;
};

}  // namespace

std::optional<ClosestPair> closest_pair_by_lines(const std::vector<std::int64_t>& xs,
                                                 const std::vector<std::int64_t>& ys,
                                                 const Spacing& spacing, std::size_t ndim,
                                                 rt::WithoutGil& gil) {
  PointLines lines(ys, ndim);
  // The table costs a word per line of y's box: not many more than there are points.
  if (lines.lines() > 16.0 * static_cast<double>(ys.size()) + 4096.0) return std::nullopt;
  lines.make_table();
  const std::size_t count = xs.size() / ndim;
  auto length_to = [&](const std::int64_t* p, std::size_t j) {
    return scaled_length(&ys[j * ndim], p, spacing, ndim);
  };

  // A bound: the shortest pair between a sample of x's points and y's points close by.
  Index reach{};
  std::fill_n(reach.begin(), ndim, kProbe);
  double bound = kInfinity;
  for (std::size_t i = 0; i < count; i += std::max<std::size_t>(1, count / kSamples)) {
    const std::int64_t* p = &xs[i * ndim];
    lines.near(p, reach, [&](std::size_t j) { bound = std::min(bound, length_to(p, j)); });
  }
  if (bound == kInfinity) return std::nullopt;

  // Every pair whose computed length is at most `bound` lies within `reach` steps along
  // each axis: (reach + 1) steps along axis k are longer than the bound with a margin
  // (1e-9 of it) far above the rounding of a length.
  std::int64_t window = 1;
  for (std::size_t k = 0; k < ndim; ++k) {
    const double magnitude = std::abs(spacing.values[k]);
    if (magnitude == 0.0) return std::nullopt;
    const double steps = bound * (1.0 + 1e-9) / magnitude;
    if (!(steps < kLargestReach)) return std::nullopt;
    reach[k] = static_cast<std::int64_t>(steps);
    if (k + 1 < ndim) window *= 2 * reach[k] + 1;
    if (window > kMaxLines) return std::nullopt;
  }

  // In order: a later x point wins only with a shorter length, a later y point likewise.
  double best = kInfinity;
  std::size_t best_from = 0;
  std::size_t best_to = 0;
  for (std::size_t i = 0; i < count && best != 0.0; ++i) {
    gil.progress(window);
    const std::int64_t* p = &xs[i * ndim];
    lines.near(p, reach, [&](std::size_t j) {
      const double length = length_to(p, j);
      if (length < best) {
        best = length;
        best_from = i;
        best_to = j;
      }
    });
  }
  ClosestPair pair;
  std::copy_n(&xs[best_from * ndim], ndim, pair.from.begin());
  std::copy_n(&ys[best_to * ndim], ndim, pair.to.begin());
  return pair;
}

}  // namespace orvane::medical::fast
