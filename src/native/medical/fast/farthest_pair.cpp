// Only extreme points (vertices of the convex hull) can be at the largest distance.
// Scaling each axis by a non-zero factor keeps the set of extreme points, so they are
// found exactly in integer index space:
//   1. one pass keeps the first and last set element of each line along the axis of the
//      smallest stride (the last one in C order);
//   2. in every 2-D plane of two axes (all other indices fixed) a point that is not a
//      vertex of that plane's hull is not a vertex of the whole hull either, so an exact
//      monotone-chain hull per plane, for every pair of axes, prunes the rest;
//   3. the remaining candidates are scored pairwise with the plain path's formula.
// A non-extreme point is at most sqrt(D^2 - s_min^2) from any point (D the diameter), so
// while D / s_min stays below kMaxAspect no such pair can round up to the computed maximum.
#include "farthest_pair.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>

#include "pair_scoring.hpp"
#include "shell_line.hpp"

namespace orvane::medical::fast {
namespace {

constexpr double kMaxAspect = 1e6;

struct Candidate {
  Index at{};
};

constexpr std::int64_t kBlock = std::int64_t{1} << 16;

// The first set element of a line of n elements at p (step bytes apart), or n; the last
// one at or after `low`, or low - 1. Stretches of eight zero bytes in a contiguous line
// are zero elements of any type, and are skipped a word at a time. Long lines are
// scanned block by block, each counted as progress.
template <class E>
std::int64_t first_set(const char* p, std::int64_t step, std::int64_t n, rt::WithoutGil& gil) {
  constexpr std::int64_t kPerWord = 8 / E::kSize;
  for (std::int64_t block = 0; block < n; block += kBlock) {
    const std::int64_t end = std::min(n, block + kBlock);
    std::int64_t i = block;
    if (step == E::kSize) {
      while (i + kPerWord <= end && load<std::uint64_t>(p + i * step) == 0) i += kPerWord;
    }
    while (i < end && !E::nonzero(p + i * step)) ++i;
    if (i < end) return i;
    gil.progress(end - block);
  }
  return n;
}

template <class E>
std::int64_t last_set(const char* p, std::int64_t step, std::int64_t n, std::int64_t low,
                      rt::WithoutGil& gil) {
  constexpr std::int64_t kPerWord = 8 / E::kSize;
  for (std::int64_t block = n; block > low; block -= kBlock) {
    const std::int64_t begin = std::max(low, block - kBlock);
    std::int64_t i = block;  // one past the candidate
    if (step == E::kSize) {
      while (i - kPerWord >= begin && load<std::uint64_t>(p + (i - kPerWord) * step) == 0) {
        i -= kPerWord;
      }
    }
    while (i > begin && !E::nonzero(p + (i - 1) * step)) --i;
    if (i > begin) return i - 1;
    gil.progress(block - begin);
  }
  return low - 1;
}

// The high bit of each non-zero byte of w.
std::uint64_t nonzero_bytes(std::uint64_t w) noexcept {
  constexpr std::uint64_t kLow = 0x7f7f7f7f7f7f7f7fULL;
  return (((w & kLow) + kLow) | w) & ~kLow;
}

// Up to this many words of one-byte elements to a row of a block.
constexpr std::int64_t kBlockWords = 8;

// block_extremes for one-byte elements and rows of kBlockWords words at most: the lines
// that hold a set element are known from one OR of the rows, and their first and last
// rows are then sought from the top and from the bottom, each search stopping once every
// such line is settled (most of a block often lies between them).
void byte_block_extremes(const char* p, std::int64_t n, std::int64_t m, std::int64_t* first,
                         std::int64_t* last) {
  const std::int64_t words = (m + 7) / 8;
  const std::int64_t tail = m - 8 * (words - 1);  // bytes in the last word of a row
  auto raw = [&](std::int64_t row, std::int64_t k) {
    const char* at = p + row * m + 8 * k;
    if (k + 1 < words || tail == 8) return load<std::uint64_t>(at);
    std::uint64_t w = 0;
    std::memcpy(&w, at, static_cast<std::size_t>(tail));
    return w;
  };
  auto word = [&](std::int64_t row, std::int64_t k) { return nonzero_bytes(raw(row, k)); };
  std::array<std::uint64_t, kBlockWords> wanted{};
  for (std::int64_t k = 0; k < words; ++k) {
    std::uint64_t any = 0;  // in a register: the OR of the raw words, then their bytes' truth
    if (m == 8) {  // one word to a row: the block's words one after the other, a vector loop
      for (std::int64_t row = 0; row < n; ++row) any |= load<std::uint64_t>(p + 8 * row);
    } else {
      for (std::int64_t row = 0; row < n; ++row) any |= raw(row, k);
    }
    wanted[static_cast<std::size_t>(k)] = nonzero_bytes(any);
  }
  auto settle = [&](std::int64_t from, std::int64_t step, std::int64_t* at) {
    std::array<std::uint64_t, kBlockWords> seen{};
    for (std::int64_t row = from; row >= 0 && row < n && seen != wanted; row += step) {
      for (std::int64_t k = 0; k < words; ++k) {
        const std::uint64_t here = word(row, k);
        for (std::uint64_t fresh = here & ~seen[static_cast<std::size_t>(k)]; fresh != 0;
             fresh &= fresh - 1) {
          at[8 * k + std::countr_zero(fresh) / 8] = row;
        }
        seen[static_cast<std::size_t>(k)] |= here;
      }
    }
  };
  settle(0, 1, first);
  settle(n - 1, -1, last);
}

// Lines that lie side by side in memory, m of them with their elements m apart (a series'
// few time points, the short last axis moved out of the line): the block of the m lines
// is read in memory order, row by row (leading words of zero bytes, which hold zero
// elements of any type, skipped), and each set element widens its line's extremes.
// first[c] is n and last[c] -1 for a line c with no set element.
template <class E>
void block_extremes(const char* p, std::int64_t n, std::int64_t m, std::int64_t* first,
                    std::int64_t* last, rt::WithoutGil& gil) {
  std::fill_n(first, m, n);
  std::fill_n(last, m, -1);
  gil.progress(n * m);
  if (E::kSize == 1 && m <= 8 * kBlockWords) return byte_block_extremes(p, n, m, first, last);
  constexpr std::int64_t kPerWord = 8 / E::kSize;
  for (std::int64_t row = 0; row < n; ++row) {
    const char* elements = p + row * m * E::kSize;
    std::int64_t c = 0;
    while (c + kPerWord <= m && load<std::uint64_t>(elements + c * E::kSize) == 0) c += kPerWord;
    for (; c < m; ++c) {
      if (!E::nonzero(elements + c * E::kSize)) continue;
      first[c] = std::min(first[c], row);
      last[c] = row;
    }
  }
}

// First and last set element of every line along the last axis, in row-major order;
// `count` is at least 2 when the mask has two elements or more. One-byte masks with
// C-contiguous planes have their empty lines found a plane at a time by a vector kernel.
std::vector<Candidate> line_extremes(const MaskData& mask, Isa isa, std::int64_t& count,
                                     rt::WithoutGil& gil) {
  std::vector<Candidate> out;
  count = 0;
  const Geometry& shape = mask.geometry;
  const std::size_t last = shape.ndim - 1;
  const std::int64_t n = shape.last();
  const std::int64_t step = shape.strides[last];
  const bool by_planes = shell_by_planes_applies(mask);
  const LineFlagsKernel nonzero_lines = nonzero_lines_kernel(isa);
  const std::int64_t lines_per_plane = plane_size(shape) / n;
  std::vector<std::uint8_t> set(by_planes ? static_cast<std::size_t>(lines_per_plane) : 0);
  const std::int64_t side_by_side = last > 0 ? shape.shape[last - 1] : 1;
  const bool by_blocks = side_by_side > 1 && shape.strides[last - 1] == mask.type.size &&
                         step == side_by_side * mask.type.size;
  std::vector<std::int64_t> firsts(by_blocks ? static_cast<std::size_t>(side_by_side) : 0);
  std::vector<std::int64_t> lasts(firsts.size());
  auto add = [&](const Index& index, std::int64_t first, std::int64_t final) {
    Candidate here{index};
    here.at[last] = first;
    out.push_back(here);
    ++count;
    if (final > first) {
      here.at[last] = final;
      out.push_back(here);
      ++count;
    }
  };
  visit_element(mask.type, [&]<class E>(E) {
    if (by_blocks) {  // block by block: the lines of a block are side by side
      Geometry blocks = shape;
      blocks.ndim = last;
      LineWalker<1> walker(blocks, {&blocks.strides});
      do {
        block_extremes<E>(mask.data + walker.offset(0), n, side_by_side, firsts.data(),
                          lasts.data(), gil);
        Index index = walker.index();
        for (std::int64_t c = 0; c < side_by_side; ++c) {
          const auto line = static_cast<std::size_t>(c);
          index[last - 1] = c;
          if (firsts[line] < n) add(index, firsts[line], lasts[line]);
        }
      } while (walker.next());
      return;
    }
    const std::array<const Index*, 1> strides{&shape.strides};
    LineWalker<1> lines(shape, strides);
    do {
      const char* p = mask.data + lines.offset(0);
      if (by_planes) {
        const std::int64_t line = last == 0 ? 0 : lines.index()[last - 1];
        if (line == 0) {
          nonzero_lines(reinterpret_cast<const std::uint8_t*>(p), n, lines_per_plane, set.data());
        }
        if (set[static_cast<std::size_t>(line)] == 0) {
          gil.progress(n / 64 + 1);
          continue;
        }
      }
      const std::int64_t first = first_set<E>(p, step, n, gil);
      if (first < n) add(lines.index(), first, last_set<E>(p, step, n, first + 1, gil));
      gil.progress(std::min(n, kBlock) + 1);  // each line costs something, however short
    } while (lines.next());
  });
  return out;
}

// Exact for index differences below 2**62.
__extension__ typedef __int128 Wide;

Wide cross(const Candidate& o, const Candidate& a, const Candidate& b, std::size_t u,
           std::size_t v) {
  return static_cast<Wide>(a.at[u] - o.at[u]) * (b.at[v] - o.at[v]) -
         static_cast<Wide>(a.at[v] - o.at[v]) * (b.at[u] - o.at[u]);
}

// Marks the vertices of the hull of `plane` (sorted by (u, v), distinct) in `keep`.
void mark_plane_vertices(const std::vector<const Candidate*>& plane, std::size_t u, std::size_t v,
                         std::vector<char>& keep, const std::vector<Candidate>& all) {
  const std::size_t n = plane.size();
  auto mark = [&](const Candidate* c) { keep[static_cast<std::size_t>(c - all.data())] = 1; };
  if (n <= 2) {
    for (const Candidate* c : plane) mark(c);
    return;
  }
  std::vector<const Candidate*> chain(2 * n);
  std::size_t k = 0;
  // Strict turns only: points on a hull edge are not extreme.
  for (std::size_t i = 0; i < n; ++i) {
    while (k >= 2 && cross(*chain[k - 2], *chain[k - 1], *plane[i], u, v) <= 0) --k;
    chain[k++] = plane[i];
  }
  for (std::size_t i = n - 1, lower = k + 1; i-- > 0;) {
    while (k >= lower && cross(*chain[k - 2], *chain[k - 1], *plane[i], u, v) <= 0) --k;
    chain[k++] = plane[i];
  }
  for (std::size_t i = 0; i + 1 < k; ++i) mark(chain[i]);
}

// The candidates (in row-major order) stably sorted by their indices along the axes other
// than u and v, as positions into `candidates`: within a plane of axes (u, v) they then stay
// in row-major order, which is the order of (u, v). By counting, one pass per axis from the
// last, where no axis is much longer than the candidates are many; else by comparison.
std::vector<std::size_t> plane_order(const std::vector<Candidate>& candidates, std::size_t ndim,
                                     std::size_t u, std::size_t v, const Index& shape) {
  const std::size_t n = candidates.size();
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  if (u + 2 == ndim && v + 1 == ndim) return order;  // the other axes lead: sorted already
  bool counting = true;
  for (std::size_t k = 0; k < ndim; ++k) {
    counting = counting && (k == u || k == v || static_cast<double>(shape[k]) <= 4.0 * n + 1024);
  }
  if (!counting) {
    auto plane_key_less = [&](std::size_t a, std::size_t b) {
      for (std::size_t k = 0; k < ndim; ++k) {
        const std::int64_t ia = candidates[a].at[k];
        const std::int64_t ib = candidates[b].at[k];
        if (k == u || k == v || ia == ib) continue;
        return ia < ib;
      }
      return a < b;  // row-major order within a plane
    };
    std::sort(order.begin(), order.end(), plane_key_less);
    return order;
  }
  std::vector<std::size_t> sorted(n);
  std::vector<std::size_t> starts;
  for (std::size_t k = ndim; k-- > 0;) {
    if (k == u || k == v) continue;
    starts.assign(static_cast<std::size_t>(shape[k]) + 1, 0);
    for (const std::size_t i : order) ++starts[static_cast<std::size_t>(candidates[i].at[k]) + 1];
    std::partial_sum(starts.begin(), starts.end(), starts.begin());
    for (const std::size_t i : order) {
      sorted[starts[static_cast<std::size_t>(candidates[i].at[k])]++] = i;
    }
    std::swap(order, sorted);
  }
  return order;
}

// Keeps only the candidates that are hull vertices within their plane of axes (u, v); the
// candidates lie within `shape`.
std::vector<Candidate> prune_by_planes(std::vector<Candidate> candidates, std::size_t ndim,
                                       std::size_t u, std::size_t v, const Index& shape) {
  const std::vector<std::size_t> order = plane_order(candidates, ndim, u, v, shape);
  auto same_plane = [&](std::size_t a, std::size_t b) {
    for (std::size_t k = 0; k < ndim; ++k) {
      if (k != u && k != v && candidates[a].at[k] != candidates[b].at[k]) return false;
    }
    return true;
  };
  std::vector<char> keep(candidates.size(), 0);
  std::vector<const Candidate*> plane;
  for (std::size_t start = 0; start < order.size();) {
    std::size_t end = start;
    plane.clear();
    while (end < order.size() && same_plane(order[start], order[end])) {
      plane.push_back(&candidates[order[end]]);
      ++end;
    }
    mark_plane_vertices(plane, u, v, keep, candidates);
    start = end;
  }
  std::vector<Candidate> kept;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (keep[i]) kept.push_back(candidates[i]);
  }
  return kept;  // still in row-major order
}

}  // namespace

std::optional<PointPair> farthest_pair(const MaskData& mask, const Spacing& spacing, Isa isa,
                                       std::int64_t& count, rt::WithoutGil& gil) {
  const std::size_t ndim = mask.geometry.ndim;
  // The extreme points are the same whatever the order of the axes, so they are found in
  // the mask's own memory order (a Fortran-ordered mask read along its first axis), on long
  // lines.
  const AxisOrder order = line_order(mask.geometry);
  const MaskData lined = reordered(mask, order);
  std::vector<Candidate> candidates = line_extremes(lined, isa, count, gil);
  if (count < 2 || spacing.smallest_magnitude() == 0.0) return std::nullopt;
  // Every order of the planes keeps every extreme point. The plane of the last two axes
  // comes first: it needs no sorting, and the others then sort fewer candidates.
  for (std::size_t u = ndim; u-- > 0;) {
    for (std::size_t v = ndim; v-- > u + 1;) {
      candidates = prune_by_planes(std::move(candidates), ndim, u, v, lined.geometry.shape);
      gil.progress(static_cast<std::int64_t>(candidates.size()) * 16);
    }
  }
  if (!std::is_sorted(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(ndim))) {
    // Back to the mask's axes, and to row-major order, which scoring relies on.
    for (Candidate& candidate : candidates) {
      Index at{};
      for (std::size_t k = 0; k < ndim; ++k) at[order[k]] = candidate.at[k];
      candidate.at = at;
    }
    std::sort(candidates.begin(), candidates.end(), [ndim](const Candidate& a, const Candidate& b) {
      return std::lexicographical_compare(
          a.at.begin(), a.at.begin() + static_cast<std::ptrdiff_t>(ndim), b.at.begin(),
          b.at.begin() + static_cast<std::ptrdiff_t>(ndim));
    });
  }

  // Guard the rounding argument with an upper bound of the diameter.
  double diameter_bound = 0.0;
  for (std::size_t k = 0; k < ndim; ++k) {
    auto [low, high] = std::minmax_element(
        candidates.begin(), candidates.end(),
        [k](const Candidate& a, const Candidate& b) { return a.at[k] < b.at[k]; });
    const double extent =
        static_cast<double>(high->at[k] - low->at[k]) * std::abs(spacing.values[k]);
    diameter_bound += extent * extent;
  }
  if (std::sqrt(diameter_bound) >= kMaxAspect * spacing.smallest_magnitude()) return std::nullopt;

  // Candidates are in row-major order, so (i, j) with i < j is also combinations() order.
  const std::size_t kept = candidates.size();
  std::vector<double> axes(ndim * kept);
  for (std::size_t i = 0; i < kept; ++i) {
    for (std::size_t k = 0; k < ndim; ++k) {
      axes[k * kept + i] = static_cast<double>(candidates[i].at[k]);  // indices below 2**53
    }
  }
  const auto [best_i, best_j] = farthest_scored(axes, kept, spacing, ndim, isa, gil);
  return PointPair{candidates[best_i].at, candidates[best_j].at};
}

}  // namespace orvane::medical::fast
