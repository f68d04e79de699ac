// Only extreme points (vertices of the convex hull) can be at the largest distance.
// Scaling each axis by a non-zero factor keeps the set of extreme points, so they are
// found exactly in integer index space:
//   1. one pass keeps the first and last set element of each line along the last axis;
//   2. in every 2-D plane of two axes (all other indices fixed) a point that is not a
//      vertex of that plane's hull is not a vertex of the whole hull either, so an exact
//      monotone-chain hull per plane, for every pair of axes, prunes the rest;
//   3. the remaining candidates are scored pairwise with the plain path's formula.
// A non-extreme point is at most sqrt(D^2 - s_min^2) from any point (D the diameter), so
// while D / s_min stays below kMaxAspect no such pair can round up to the computed maximum.
#include "farthest_pair.hpp"

#include "orvane/rt/object.hpp"

#include <algorithm>
#include <numeric>

namespace orvane::medical::fast {
namespace {

constexpr double kMaxAspect = 1e6;

struct Candidate {
  std::array<std::int64_t, kMaxAxes> at{};
  std::int64_t ordinal = 0;  // position among the mask points in row-major order
};

// First and last set element of every line along the last axis, in row-major order.
std::vector<Candidate> line_extremes(const MaskReader& mask, std::int64_t& count) {
  std::vector<Candidate> out;
  const std::size_t last = mask.ndim() - 1;
  std::optional<Candidate> latest;  // the line's latest point after its first
  auto same_line = [last](const Candidate& a, const std::array<std::int64_t, kMaxAxes>& b) {
    return std::equal(a.at.begin(), a.at.begin() + static_cast<std::ptrdiff_t>(last), b.begin());
  };
  count = 0;
  mask.for_each_nonzero([&](const std::array<std::int64_t, kMaxAxes>& index, const char*) {
    Candidate here{index, count++};
    if (!out.empty() && same_line(out.back(), index)) {
      latest = here;
      return;
    }
    if (latest) out.push_back(*latest);
    latest.reset();
    out.push_back(here);
  });
  if (latest) out.push_back(*latest);
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

// Keeps only the candidates that are hull vertices within their plane of axes (u, v).
std::vector<Candidate> prune_by_planes(std::vector<Candidate> candidates, std::size_t ndim,
                                       std::size_t u, std::size_t v) {
  std::vector<std::size_t> order(candidates.size());
  std::iota(order.begin(), order.end(), 0);
  auto plane_key_less = [&](std::size_t a, std::size_t b) {
    const Candidate& ca = candidates[a];
    const Candidate& cb = candidates[b];
    for (std::size_t k = 0; k < ndim; ++k) {
      if (k == u || k == v || ca.at[k] == cb.at[k]) continue;
      return ca.at[k] < cb.at[k];
    }
    if (ca.at[u] != cb.at[u]) return ca.at[u] < cb.at[u];
    return ca.at[v] < cb.at[v];
  };
  std::sort(order.begin(), order.end(), plane_key_less);
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

std::optional<PointPair> farthest_pair(const MaskReader& mask, const Spacing& spacing) {
  const std::size_t ndim = mask.ndim();
  if (spacing.smallest_magnitude() == 0.0) return std::nullopt;
  std::int64_t count = 0;
  std::vector<Candidate> candidates = line_extremes(mask, count);
  if (count < 2) return std::nullopt;
  for (std::size_t u = 0; u < ndim; ++u) {
    for (std::size_t v = u + 1; v < ndim; ++v) {
      candidates = prune_by_planes(std::move(candidates), ndim, u, v);
    }
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
  double best = -1.0;
  std::size_t best_i = 0;
  std::size_t best_j = 0;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (i % 256 == 0) rt::check_interrupts();  // Ctrl-C is noticed within a second
    for (std::size_t j = i + 1; j < candidates.size(); ++j) {
      const double length =
          scaled_length(candidates[i].at.data(), candidates[j].at.data(), spacing, ndim);
      if (length > best) {
        best = length;
        best_i = i;
        best_j = j;
      }
    }
  }
  return PointPair{candidates[best_i].at, candidates[best_j].at};
}

}  // namespace orvane::medical::fast
