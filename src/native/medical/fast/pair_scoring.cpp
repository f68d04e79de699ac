#include "pair_scoring.hpp"

#include <array>
#include <cmath>

namespace orvane::medical::fast {
namespace {

// The points' coordinates, one block per axis, and the spacing.
struct Points {
  std::array<const double*, kMaxAxes> axes{};
  std::array<double, kMaxAxes> spacing{};
};

// sums[j] for j in [i + 1, count): the sum of squares of pair (i, j), without the square
// root (which keeps their order); returns the largest. The differences of integers below
// 2**53 are exact in doubles, so each term is the one scaled_length computes.
template <std::size_t D>
[[gnu::always_inline]] inline double row_body(const Points& points, std::size_t i,
                                              std::size_t count, double* __restrict sums) {
  std::array<double, D> here{};
  std::array<const double* __restrict, D> axis{};
  for (std::size_t k = 0; k < D; ++k) {
    axis[k] = points.axes[k];
    here[k] = axis[k][i];
  }
  auto sum_of = [&](std::size_t j) {
    double sum = 0.0;
    for (std::size_t k = 0; k < D; ++k) {
      const double scaled = (here[k] - axis[k][j]) * points.spacing[k];
      sum = sum + scaled * scaled;
    }
    return sum;
  };
  // The largest kept in eight lanes, which the compiler makes one vector of maxima: a
  // single running maximum would wait on each comparison in turn. No sum is NaN, and the
  // lanes' maxima are the one maximum whatever the order.
  constexpr std::size_t kLanes = 8;
  std::array<double, kLanes> lanes{};
  std::size_t j = i + 1;
  for (; j + kLanes <= count; j += kLanes) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      const double sum = sum_of(j + l);
      sums[j + l] = sum;
      lanes[l] = sum > lanes[l] ? sum : lanes[l];
    }
  }
  double largest = 0.0;
  for (; j < count; ++j) {
    sums[j] = sum_of(j);
    largest = sums[j] > largest ? sums[j] : largest;
  }
  for (const double lane : lanes) largest = lane > largest ? lane : largest;
  return largest;
}

using RowKernel = double (*)(const Points&, std::size_t, std::size_t, double*);

template <std::size_t D>
double row_baseline(const Points& points, std::size_t i, std::size_t count, double* sums) {
  return row_body<D>(points, i, count, sums);
}

template <std::size_t D>
ORVANE_TARGET_AVX2 double row_avx2(const Points& points, std::size_t i, std::size_t count,
                                   double* sums) {
  return row_body<D>(points, i, count, sums);
}

template <std::size_t D>
ORVANE_TARGET_AVX512 double row_avx512(const Points& points, std::size_t i, std::size_t count,
                                       double* sums) {
  return row_body<D>(points, i, count, sums);
}

using Table = std::array<RowKernel, kMaxAxes>;

template <std::size_t... Ds>
constexpr std::array<Table, 3> tables(std::index_sequence<Ds...>) {
  return {Table{&row_baseline<Ds + 1>...}, Table{&row_avx2<Ds + 1>...},
          Table{&row_avx512<Ds + 1>...}};
}

}  // namespace

std::pair<std::size_t, std::size_t> farthest_scored(const std::vector<double>& axes,
                                                    std::size_t count, const Spacing& spacing,
                                                    std::size_t ndim, Isa isa,
                                                    rt::WithoutGil& gil) {
  static constexpr auto kTables = tables(std::make_index_sequence<kMaxAxes>{});
  const RowKernel row = kTables[static_cast<std::size_t>(isa)][ndim - 1];
  Points points;
  for (std::size_t k = 0; k < ndim; ++k) {
    points.axes[k] = axes.data() + k * count;
    points.spacing[k] = spacing.values[k];
  }
  std::vector<double> sums(count);
  std::vector<double> largest(count, 0.0);
  // The largest length: sqrt is monotonic, so it is the root of the largest sum.
  double best = 0.0;
  for (std::size_t i = 0; i + 1 < count; ++i) {
    gil.progress(static_cast<std::int64_t>(count - i));
    largest[i] = row(points, i, count, sums.data());
    best = largest[i] > best ? largest[i] : best;
  }
  // The first pair of that length (several sums can have the same root).
  const double length = std::sqrt(best);
  for (std::size_t i = 0; i + 1 < count; ++i) {
    if (std::sqrt(largest[i]) != length) continue;
    row(points, i, count, sums.data());
    for (std::size_t j = i + 1; j < count; ++j) {
      if (std::sqrt(sums[j]) == length) return {i, j};
    }
  }
  return {0, 1};  // not reached: the row of the largest sum holds it
}

}  // namespace orvane::medical::fast
