// The arrays that _is_enclosed hands to ConvexHull, made without the plain steps' int64
// copy of y, index arrays and temporaries: the points of y outside x (y.astype(int) == 1
// where x is zero) in np.argwhere's row-major order and layout, and the centroid of x as
// np.argwhere(x).mean(axis=0) gives it. Without the GIL, in x's memory order: one pass over
// both masks counts and sums, and keeps the points while they are few; else a second one
// writes them, from the first line that holds one to the last point (a Fortran-ordered
// mask's are then sorted into row-major order). Chunks where both masks are zero are
// passed over by a word test.
#include <algorithm>
#include <vector>

#include "fast_paths.hpp"
#include "gate.hpp"
#include "isa.hpp"
#include "orvane/rt/gil.hpp"
#include "row_major.hpp"
#include "shell_line.hpp"

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

// Whether both masks are of one-byte elements (booleans or integers) read at unit steps
// along their lines: then their chunks are counted by a vector kernel.
bool byte_pair(const MaskData& x, const MaskData& y) {
  const std::size_t last = x.geometry.ndim - 1;
  return x.type.size == 1 && y.type.size == 1 && x.type.kind != ElementKind::Float &&
         y.type.kind != ElementKind::Float && x.geometry.strides[last] == 1 &&
         y.geometry.strides[last] == 1;
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
  const bool words = byte_pair(x, y);
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
  // The points in the walk's order, ndim indices each, while they are at most `kept`
  // indices in all (else empty, and a second walk writes them).
  std::vector<std::int64_t> points;
  bool complete = true;

  // A chunk of a line: `in_x` elements of x whose positions along the line add up to
  // `position_sum`, and `outside` points. Whether its points are to be kept.
  bool add(const Index& index, std::size_t ndim, std::int64_t line, std::int64_t in_chunk,
           std::int64_t position_sum, std::int64_t outside_chunk, std::int64_t kept) {
    const std::size_t last = ndim - 1;
    if (outside == 0) first_line = line;
    outside += outside_chunk;
    in_x += in_chunk;
    for (std::size_t k = 0; k < last; ++k) sums[k] += in_chunk * index[k];
    sums[last] += position_sum;
    if (outside_chunk == 0 || !complete) return false;
    if (outside * static_cast<std::int64_t>(ndim) <= kept) return true;
    complete = false;
    std::vector<std::int64_t>().swap(points);
    return false;
  }
  void keep(const Index& index, std::size_t ndim, std::int64_t position) {
    points.insert(points.end(), index.begin(), index.begin() + (ndim - 1));
    points.push_back(position);
  }
};

Census take_census(const MaskData& x, const MaskData& y, std::int64_t kept, rt::WithoutGil& gil) {
  Census census;
  const std::size_t ndim = x.geometry.ndim;
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
              if (census.add(index, ndim, line, line_count, line_sum, outside, kept)) {
                for (std::int64_t i = 0; i < count; ++i) {
                  if (y_flag[i] & (in_x[i] ^ 1)) census.keep(index, ndim, start + i);
                }
              }
              return true;
            });
  return census;
}

// take_census of a byte pair: each chunk counted by the vector kernel, and its points listed
// only where it holds some.
Census take_byte_census(const MaskData& x, const MaskData& y, std::int64_t kept, Isa isa,
                        rt::WithoutGil& gil) {
  Census census;
  const Geometry& shape = x.geometry;
  const std::size_t ndim = shape.ndim;
  const std::int64_t n = shape.last();
  // astype(int) == 1: a boolean counts where it is set, a one-byte integer where it is 1.
  const bool labels = y.type.kind != ElementKind::Bool;
  const PairCensusKernel census_of = pair_census_kernel(isa);
  LineWalker<2> lines(shape, {&x.geometry.strides, &y.geometry.strides});
  std::int64_t line = -1;
  do {
    ++line;
    for (std::int64_t start = 0; start < n; start += kChunk) {
      const std::int64_t count = std::min(kChunk, n - start);
      const char* x_at = x.data + lines.offset(0) + start;
      const char* y_at = y.data + lines.offset(1) + start;
      gil.progress(count);
      if (zero_bytes(x_at, count) && zero_bytes(y_at, count)) continue;
      const auto* xs = reinterpret_cast<const std::uint8_t*>(x_at);
      const auto* ys = reinterpret_cast<const std::uint8_t*>(y_at);
      std::uint32_t totals[3];
      census_of(xs, ys, count, labels, totals);
      const std::int64_t in_chunk = totals[0];
      const std::int64_t position_sum = std::int64_t{totals[1]} + start * in_chunk;
      if (census.add(lines.index(), ndim, line, in_chunk, position_sum, totals[2], kept)) {
        // Eight elements of y at a time where none is set (most, in a scattered mask).
        for (std::int64_t i = 0; i < count;) {
          if (i + 8 <= count && load<std::uint64_t>(y_at + i) == 0) {
            i += 8;
            continue;
          }
          const bool counts = labels ? ys[i] == 1 : ys[i] != 0;
          if (counts && xs[i] == 0) census.keep(lines.index(), ndim, start + i);
          ++i;
        }
      }
    }
  } while (lines.next());
  return census;
}

Census census_of(const MaskData& x, const MaskData& y, std::int64_t kept, Isa isa,
                 rt::WithoutGil& gil) {
  return byte_pair(x, y) ? take_byte_census(x, y, kept, isa, gil) : take_census(x, y, kept, gil);
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

// The points into `columns`, argwhere's (ndim, count) base, from the census where it kept
// them, else by a second walk. A walk of x's memory in another order of the axes (a
// Fortran-ordered mask's) gives them in that order: they are put back into row-major order.
void write_columns(const MaskData& x, const MaskData& y, const AxisOrder& order, bool as_laid,
                   Census& census, std::int64_t* columns, rt::WithoutGil& gil) {
  const auto ndim = static_cast<std::int64_t>(x.geometry.ndim);
  const std::int64_t count = census.outside;
  if (as_laid && !census.complete) {
    write_points(x, y, census, columns, count, 1, gil);
    return;
  }
  std::vector<std::int64_t>& points = census.points;
  if (!census.complete) {
    points.resize(static_cast<std::size_t>(count * ndim));
    write_points(reordered(x, order), reordered(y, order), census, points.data(), 1, ndim, gil);
  }
  if (!as_laid) into_row_major(points, order, x.geometry, gil);
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
  // The points are kept from the first walk while their indices take at most half a
  // boolean mask's bytes: a few scattered points then cost one walk, not two.
  const std::int64_t kept = a.geometry.size / 16;
  const Isa isa = isa_of(call);
  Census census;
  {
    rt::WithoutGil gil;
    if (as_laid) {
      census = census_of(a, b, kept, isa, gil);
    } else {
      census = census_of(reordered(a, order), reordered(b, order), kept, isa, gil);
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
    write_columns(a, b, order, as_laid, census,
                  reinterpret_cast<std::int64_t*>(out.writable_data()), gil);
  }
  return EnclosureInput{rt::getattr(columns, "T"), std::move(centroid)};
}

}  // namespace orvane::medical::fast
