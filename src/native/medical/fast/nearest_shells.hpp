// The closest pair between the shells of two masks, with the plain path's answer: the
// smallest computed length, and among equals the first row of the stacked differences
// (outer loop over the shell of x, inner over the shell of y, both in row-major order).
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "isa.hpp"
#include "mask.hpp"
#include "orvane/rt/gil.hpp"
#include "spacing.hpp"

namespace orvane::medical::fast {

struct ShellPoints {
  std::vector<std::int64_t> x;
  std::vector<std::int64_t> y;
  // An element on both shells, where one was met while listing (stop_at_shared): then x
  // and y are incomplete, and the minimum distance is that of a row of zeros.
  std::optional<Index> shared;
};

// The shell points of two boolean or integer masks, each in row-major order, flattened:
// what argwhere(m.astype(int) - binary_erosion(m).astype(int)) lists, with one erosion by
// the face neighbours and the outside counted as background. With `stop_at_shared`, the
// listing may stop at an element that both shells hold (ShellPoints::shared). Runs without
// the GIL; `isa`: the vector instructions its kernels use.
ShellPoints shell_points(const MaskData& x, const MaskData& y, bool stop_at_shared, Isa isa,
                         rt::WithoutGil& gil);

struct ClosestPair {
  std::array<std::int64_t, kMaxAxes> from{};  // on the shell of x
  std::array<std::int64_t, kMaxAxes> to{};    // on the shell of y
};

// With no spacing 0, a length is 0 exactly where the shells share an element (spacings are
// 0 or at least 2**-400, so no square underflows): an element on both shells gives the
// minimum, 0, whichever it is.
bool shared_elements_are_closest(const Spacing& spacing, std::size_t ndim);

// Both point lists non-empty, flattened with `ndim` coordinates per point.
ClosestPair closest_pair(const std::vector<std::int64_t>& xs, const std::vector<std::int64_t>& ys,
                         const Spacing& spacing, std::size_t ndim, rt::WithoutGil& gil);

}  // namespace orvane::medical::fast
