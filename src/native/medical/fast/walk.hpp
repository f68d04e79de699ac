// Element-wise loops over arrays of one shape in the memory order of the first (the
// output), with the axes along which every array is contiguous merged into one, so that
// the innermost loop runs over long stretches, as numpy's own iterator arranges it.
#pragma once
#include "mask.hpp"

namespace orvane::medical::fast {

// Calls line(offsets, steps, count) for every line of the walk: `offsets[a]` is the byte
// offset of the line's first element in array a, `steps[a]` the byte step between its
// elements, `count` the number of elements. The arrays are not empty.
template <std::size_t N, class Line>
void walk_lines(const Geometry& shape, const std::array<const Index*, N>& strides, Line&& line) {
  // Axes of extent above 1, the first array's largest stride first.
  std::array<std::size_t, kMaxAxes> axes{};
  std::size_t count = 0;
  for (std::size_t k = 0; k < shape.ndim; ++k) {
    if (shape.shape[k] != 1) axes[count++] = k;
  }
  auto magnitude = [&](std::size_t axis) {
    const std::int64_t s = (*strides[0])[axis];
    return s < 0 ? -s : s;
  };
  sort_axes(axes, count, magnitude);
  // Merged axes, outermost first.
  std::array<std::int64_t, kMaxAxes> extent{};
  std::array<std::array<std::int64_t, N>, kMaxAxes> step{};
  std::size_t merged = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t axis = axes[i];
    bool joins = merged > 0;
    for (std::size_t a = 0; a < N && joins; ++a) {
      joins = step[merged - 1][a] == (*strides[a])[axis] * shape.shape[axis];
    }
    if (joins) {
      extent[merged - 1] *= shape.shape[axis];
      for (std::size_t a = 0; a < N; ++a) step[merged - 1][a] = (*strides[a])[axis];
    } else {
      extent[merged] = shape.shape[axis];
      for (std::size_t a = 0; a < N; ++a) step[merged][a] = (*strides[a])[axis];
      ++merged;
    }
  }
  std::array<std::int64_t, N> offsets{};
  if (merged == 0) {  // a single element
    line(offsets, step[0], std::int64_t{1});
    return;
  }
  const std::size_t inner = merged - 1;
  std::array<std::int64_t, kMaxAxes> index{};
  for (;;) {
    line(offsets, step[inner], extent[inner]);
    std::size_t axis = inner;
    for (;;) {
      if (axis == 0) return;
      --axis;
      for (std::size_t a = 0; a < N; ++a) offsets[a] += step[axis][a];
      if (++index[axis] < extent[axis]) break;
      for (std::size_t a = 0; a < N; ++a) offsets[a] -= index[axis] * step[axis][a];
      index[axis] = 0;
    }
  }
}

}  // namespace orvane::medical::fast
