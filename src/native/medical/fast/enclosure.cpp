// The arrays that _is_enclosed hands to ConvexHull, made without the plain steps' int64
// copy of y, index arrays and temporaries: the points of y outside x (y.astype(int) == 1
// where x is zero) in np.argwhere's row-major order and layout, and the centroid of x as
// np.argwhere(x).mean(axis=0) gives it. Two passes over both masks without the GIL, in x's
// memory order: one counts and sums, one writes the points, from the first line that holds
// one to the last point (a Fortran-ordered mask's then sorted into row-major order).
// Chunks where both masks are zero are passed over by a word test.
#include <algorithm>
#include <vector>

#include "fast_paths.hpp"
#include "gate.hpp"
#include "orvane/rt/gil.hpp"
#include "row_major.hpp"

namespace orvane::medical::fast {
namespace {

using rt::Ref;

constexpr std::int64_t kChunk = 2048;

// Whether `count` contiguous bytes are all zero.
bool zero_bytes(const char* p, std::int64_t count) {
  std::uint64_t any = 0;
  std::int64_t i = 0;
  for (; i + 8 <= count; i += 8) any |= load<std::uint64_t>(p + i);
  for (; i < count; ++i) any |= static_cast<unsigned char>(p[i]);
  return any == 0;
}

// Calls each(index, line, start, count, in_x, y_flag) for chunks of the elements in C order
// of their indices, from line `from_line` on (lines counted in that order), until it returns
// false: index holds the chunk's line (all axes but the last), start its first position along
// the last axis; in_x[i] is whether x is non-zero there, y_flag[i] whether y's astype(int) is
// 1. Chunks where both masks are zero (one-byte elements, contiguous) are not handed on.
template <class Each>
void walk_pair(const MaskData& x, const MaskData& y, rt::WithoutGil& gil, std::int64_t from_line,
               Each&& each) {
  const Geometry& shape = x.geometry;
  const std::int64_t n = shape.last();
  const std::int64_t x_step = x.geometry.strides[shape.ndim - 1];
  const std::int64_t y_step = y.geometry.strides[shape.ndim - 1];
  std::uint8_t in_x[kChunk];
  std::int64_t y_value[kChunk];
  std::uint8_t y_flag[kChunk];
  const bool y_bool = y.type.kind == ElementKind::Bool;
  // A zero byte is a zero element for both, and then no point of either.
  const bool words = x.type.size == 1 && y.type.size == 1 && x.type.kind != ElementKind::Float &&
                     y.type.kind != ElementKind::Float && x_step == 1 && y_step == 1;
  LineWalker<2> lines(shape, {&x.geometry.strides, &y.geometry.strides});
  std::int64_t line = -1;
  do {
    if (++line < from_line) continue;
    for (std::int64_t start = 0; start < n; start += kChunk) {
      const std::int64_t count = std::min(kChunk, n - start);
      const char* x_at = x.data + lines.offset(0) + start * x_step;
      const char* y_at = y.data + lines.offset(1) + start * y_step;
      gil.progress(count);
      if (words && zero_bytes(x_at, count) && zero_bytes(y_at, count)) continue;
      load_flags(x.type, x_at, x_step, count, in_x);
      if (y_bool) {  // astype(int) of a boolean is 1 exactly where it is set
        load_flags(y.type, y_at, y_step, count, y_flag);
      } else {
        load_values(y.type, y_at, y_step, count, y_value);
        for (std::int64_t i = 0; i < count; ++i) y_flag[i] = y_value[i] == 1;
      }
      if (!each(lines.index(), line, start, count, in_x, y_flag)) return;
    }
  } while (lines.next());
}

struct Census {
  std::int64_t outside = 0;     // points of y outside x
  std::int64_t in_x = 0;        // non-zero elements of x
  std::int64_t first_line = 0;  // the first line that holds a point of y outside x
  Index sums{};                 // per axis, the sum of the indices of x's non-zero elements
};

Census take_census(const MaskData& x, const MaskData& y, rt::WithoutGil& gil) {
  Census census;
  const std::size_t last = x.geometry.ndim - 1;
  walk_pair(x, y, gil, 0,
            [&](const Index& index, std::int64_t line, std::int64_t start, std::int64_t count,
                const std::uint8_t* in_x, const std::uint8_t* y_flag) {
              std::int64_t line_count = 0;
              std::int64_t line_sum = 0;
              std::int64_t outside = 0;
              for (std::int64_t i = 0; i < count; ++i) {
                line_count += in_x[i];
                line_sum += in_x[i] ? start + i : 0;
                outside += (y_flag[i] & (in_x[i] ^ 1));
              }
              if (census.outside == 0) census.first_line = line;
              census.outside += outside;
              census.in_x += line_count;
              for (std::size_t k = 0; k < last; ++k) census.sums[k] += line_count * index[k];
              census.sums[last] += line_sum;
              return true;
            });
  return census;
}

// Writes the points in the walk's order: point `row`'s index along axis k at
// to[k * axis_step + row * point_step] (argwhere's (ndim, count) base: axis_step = count,
// point_step = 1).
void write_points(const MaskData& x, const MaskData& y, const Census& census, std::int64_t* to,
                  std::int64_t axis_step, std::int64_t point_step, rt::WithoutGil& gil) {
  const std::size_t last = x.geometry.ndim - 1;
  const std::int64_t count = census.outside;
  std::int64_t row = 0;
  if (count == 0) return;
  walk_pair(x, y, gil, census.first_line,
            [&](const Index& index, std::int64_t, std::int64_t start, std::int64_t n,
                const std::uint8_t* in_x, const std::uint8_t* y_flag) {
              for (std::int64_t i = 0; i < n; ++i) {
                if (!(y_flag[i] & (in_x[i] ^ 1))) continue;
                std::int64_t* point = to + row * point_step;
                for (std::size_t k = 0; k < last; ++k) point[k * axis_step] = index[k];
                point[last * axis_step] = start + i;
                ++row;
              }
              return row < count;  // the last point is written
            });
}

// The same points written by a walk of x's memory in another order of the axes (a
// Fortran-ordered mask's), put back into row-major order.
void write_points_reordered(const MaskData& x, const MaskData& y, const AxisOrder& order,
                            const Census& census, std::int64_t* columns, rt::WithoutGil& gil) {
  const auto ndim = static_cast<std::int64_t>(x.geometry.ndim);
  const std::int64_t count = census.outside;
  std::vector<std::int64_t> points(static_cast<std::size_t>(count * ndim));
  write_points(reordered(x, order), reordered(y, order), census, points.data(), 1, ndim, gil);
  into_row_major(points, order, x.geometry, gil);
  for (std::int64_t k = 0; k < ndim; ++k) {
    for (std::int64_t row = 0; row < count; ++row) {
      columns[k * count + row] = points[static_cast<std::size_t>(row * ndim + k)];
    }
  }
  gil.progress(count * ndim);
}

}  // namespace

std::optional<EnclosureInput> enclosure_input(const rt::Call& call, rt::Handle x, rt::Handle y) {
  if (!call.bound_at_import({"int", "np", "np.where", "np.argwhere", "np.vstack"})) return {};
  const ReadableMask first(call, x);
  const ReadableMask second(call, y);
  if (!same_shape(first, second)) return {};
  const MaskData& a = *first.mask();
  const MaskData& b = *second.mask();
  // Counts and sums are the same in any order: they are taken in x's memory order (a
  // Fortran-ordered mask's, walked across its lines, took a cache miss per element).
  const std::size_t ndim = a.geometry.ndim;
  const AxisOrder order = memory_order(a.geometry);
  const bool as_laid =
      std::is_sorted(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(ndim));
  Census census;
  {
    rt::WithoutGil gil;
    if (as_laid) {
      census = take_census(a, b, gil);
    } else {
      census = take_census(reordered(a, order), reordered(b, order), gil);
      Index sums{};
      for (std::size_t k = 0; k < ndim; ++k) sums[order[k]] = census.sums[k];
      census.sums = sums;
    }
  }
  // The centroid is the exact sum over the count, as numpy's float64 mean gives it, while
  // every partial sum is an integer below 2**53 (whatever order numpy adds in).
  for (std::size_t k = 0; k < ndim && census.in_x > 0; ++k) {
    if (census.in_x > (std::int64_t{1} << 53) / std::max<std::int64_t>(a.geometry.shape[k], 1)) {
      return {};
    }
  }
  const auto axes = static_cast<std::int64_t>(ndim);
  const std::int64_t column_shape[] = {axes, census.outside};
  Ref columns = new_array(call, column_shape, call.imported("np.intp"));  // argwhere: .T
  Ref centroid;
  if (census.in_x == 0) {
    // No x: numpy's mean of the plain steps' empty index array, with its warnings (a mean of
    // an empty slice) and its NaN centroid, which the second hull then refuses.
    const std::int64_t no_rows[] = {0, axes};
    Ref indices = new_array(call, no_rows, call.imported("np.intp"));
    centroid = rt::call_method(indices, "mean", {}, {{"axis", rt::integer(0)}});
  } else {
    const std::int64_t centroid_shape[] = {axes};
    centroid = new_array(call, centroid_shape, reinterpret_cast<PyObject*>(&PyFloat_Type));
    const rt::BufferView mean(centroid, rt::BufferView::Access::Write);
    if (mean.empty()) rt::raise(PyExc_SystemError, "a new array has no buffer");
    auto* values = reinterpret_cast<double*>(mean.writable_data());
    for (std::size_t k = 0; k < ndim; ++k) {
      values[k] = static_cast<double>(census.sums[k]) / static_cast<double>(census.in_x);
    }
  }
  {
    const rt::BufferView out(columns, rt::BufferView::Access::Write);
    if (out.empty()) rt::raise(PyExc_SystemError, "a new array has no buffer");
    rt::WithoutGil gil;
    auto* to = reinterpret_cast<std::int64_t*>(out.writable_data());
    if (as_laid) {
      write_points(a, b, census, to, census.outside, 1, gil);
    } else {
      write_points_reordered(a, b, order, census, to, gil);
    }
  }
  return EnclosureInput{rt::getattr(columns, "T"), std::move(centroid)};
}

}  // namespace orvane::medical::fast
