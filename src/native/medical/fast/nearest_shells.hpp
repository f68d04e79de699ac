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
};

// The shell points of two boolean or integer masks, each in row-major order, flattened:
// what argwhere(m.astype(int) - binary_erosion(m).astype(int)) lists, with one erosion by
// the face neighbours and the outside counted as background. Runs without the GIL; `isa`:
// the vector instructions its kernels use.
ShellPoints shell_points(const MaskData& x, const MaskData& y, Isa isa, rt::WithoutGil& gil);

struct ClosestPair {
  std::array<std::int64_t, kMaxAxes> from{};  // on the shell of x
  std::array<std::int64_t, kMaxAxes> to{};    // on the shell of y
};

// Both point lists non-empty, flattened with `ndim` coordinates per point.
ClosestPair closest_pair(const std::vector<std::int64_t>& xs, const std::vector<std::int64_t>& ys,
                         const Spacing& spacing, std::size_t ndim, rt::WithoutGil& gil);

}  // namespace orvane::medical::fast
