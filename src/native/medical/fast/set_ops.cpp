// Intersection, union and difference in one pass over the two masks, into a boolean array
// that numpy makes with the layout the plain steps' result has. The plain steps decide by
// the int64 sum x.astype(int) + y.astype(int), which wraps around as numpy's addition
// does; boolean masks take a shorter loop on their bytes.
#include <algorithm>
#include <numeric>
#include <type_traits>

#include "fast_paths.hpp"
#include "gate.hpp"
#include "isa.hpp"
#include "orvane/rt/gil.hpp"
#include "shell_line.hpp"
#include "walk.hpp"

namespace orvane::medical::fast {
namespace {

using rt::Ref;

constexpr std::int64_t kChunk = 2048;

// Pointers into the three arrays of a line: the output, then x and y.
struct Line {
  char* out;
  const char* x;
  const char* y;
  std::int64_t out_step, x_step, y_step;
};

// Runs `chunk(out, a, b, n)` over `line` in chunks of at most kChunk elements, with `a` and
// `b` the chunk's elements of x and y loaded by `load_x` and `load_y`.
template <class A, class B, class LoadX, class LoadY, class Chunk>
void in_chunks(const Line& line, std::int64_t count, rt::WithoutGil& gil, LoadX&& load_x,
               LoadY&& load_y, Chunk&& chunk) {
  A a[kChunk];
  B b[kChunk];
  std::uint8_t local[kChunk];
  for (std::int64_t start = 0; start < count; start += kChunk) {
    const std::int64_t n = std::min(kChunk, count - start);
    load_x(line.x + start * line.x_step, line.x_step, n, a);
    load_y(line.y + start * line.y_step, line.y_step, n, b);
    char* out = line.out + start * line.out_step;
    // A contiguous output takes the results in place.
    std::uint8_t* result = line.out_step == 1 ? reinterpret_cast<std::uint8_t*>(out) : local;
    chunk(a, b, n, result);
    if (result == local) {
      for (std::int64_t i = 0; i < n; ++i) out[i * line.out_step] = static_cast<char>(local[i]);
    }
    gil.progress(n);
  }
}

// Runs `each(x, y, out, count)` on the line's own bytes, in chunks of at most kChunk, where
// all three lie at unit steps: nothing is loaded into buffers first. False where they do
// not, and nothing was done.
template <class Each>
bool on_bytes(const Line& line, std::int64_t n, rt::WithoutGil& gil, Each&& each) {
  if (line.out_step != 1 || line.x_step != 1 || line.y_step != 1) return false;
  const auto* x = reinterpret_cast<const std::uint8_t*>(line.x);
  const auto* y = reinterpret_cast<const std::uint8_t*>(line.y);
  auto* out = reinterpret_cast<std::uint8_t*>(line.out);
  for (std::int64_t start = 0; start < n; start += kChunk) {
    const std::int64_t count = std::min(kChunk, n - start);
    each(x + start, y + start, out + start, count);
    gil.progress(count);
  }
  return true;
}

// Calls visit(line, n) for every line of `out` with the matching lines of x and y.
template <class Visit>
void for_each_line(const WritableMask& out, const MaskData& x, const MaskData& y, Visit&& visit) {
  const std::array<const Index*, 3> strides{&out.geometry().strides, &x.geometry.strides,
                                            &y.geometry.strides};
  walk_lines(out.geometry(), strides, [&](const auto& offsets, const auto& steps, std::int64_t n) {
    const Line line{out.data() + offsets[0],
                    x.data + offsets[1],
                    y.data + offsets[2],
                    steps[0],
                    steps[1],
                    steps[2]};
    visit(line, n);
  });
}

enum class SumTest { IsTwo, NonZero };

// The test of x.astype(int) + y.astype(int) over a line whose values `load` reads as T:
// added as unsigned, so int64 sums wrap around as numpy's do (values of one byte read as
// int16, or of two bytes read as int32, never reach the wrap).
template <class T, class Load>
void sums_tested(const Line& line, std::int64_t n, ElementType x_type, ElementType y_type,
                 SumTest test, rt::WithoutGil& gil, Load load) {
  auto values = [load](ElementType type) {
    return [type, load](const char* p, std::int64_t step, std::int64_t count, T* to) {
      load(type, p, step, count, to);
    };
  };
  in_chunks<T, T>(line, n, gil, values(x_type), values(y_type),
                  [test](const T* a, const T* b, std::int64_t count, std::uint8_t* result) {
                    using U = std::make_unsigned_t<T>;
                    auto sum = [&](std::int64_t i) {
                      return static_cast<U>(static_cast<U>(a[i]) + static_cast<U>(b[i]));
                    };
                    if (test == SumTest::IsTwo) {
                      for (std::int64_t i = 0; i < count; ++i) result[i] = sum(i) == 2;
                    } else {
                      for (std::int64_t i = 0; i < count; ++i) result[i] = sum(i) != 0;
                    }
                  });
}

// The test of x + y for `count` 8-bit labels of x and y at unit steps, each read with its
// own sign (their int64 sum never wraps), in 16-bit sums, which the compiler keeps in
// 16-bit lanes of its vectors.
void byte_sums_tested(ElementType x_type, const std::uint8_t* x, ElementType y_type,
                      const std::uint8_t* y, std::int64_t count, SumTest test,
                      std::uint8_t* result) {
  auto run = [&]<class X, class Y>(const X* __restrict a, const Y* __restrict b) {
    std::uint8_t* __restrict to = result;
    auto sum = [&](std::int64_t i) {
      return static_cast<std::int16_t>(std::int16_t{a[i]} + std::int16_t{b[i]});
    };
    if (test == SumTest::IsTwo) {
      for (std::int64_t i = 0; i < count; ++i) to[i] = sum(i) == 2;
    } else {
      for (std::int64_t i = 0; i < count; ++i) to[i] = sum(i) != 0;
    }
  };
  visit_label_bytes(x_type, x, y_type, y, run);
}

// out = (x.astype(int) + y.astype(int) == 2) or (... != 0), element by element.
void fill_sum_test(const MaskData& x, const MaskData& y, const WritableMask& out, SumTest test,
                   Isa isa, rt::WithoutGil& gil) {
  const bool bytes = x.type.kind == ElementKind::Bool && y.type.kind == ElementKind::Bool;
  const bool labels = label_bytes(x.type) && label_bytes(y.type);
  // Booleans, and unsigned 8-bit labels (whose sum is not 0 where either is not), by a
  // kernel at the processor's width.
  const bool unsigned_labels =
      labels && x.type.kind == ElementKind::Unsigned && y.type.kind == ElementKind::Unsigned;
  const ByteOpKernel kernel = byte_op_kernel(isa, test == SumTest::NonZero ? ByteOp::EitherSet
                                                  : bytes                  ? ByteOp::BothSet
                                                                           : ByteOp::SumIsTwo);
  for_each_line(out, x, y, [&](const Line& line, std::int64_t n) {
    if ((bytes || unsigned_labels) &&
        on_bytes(line, n, gil,
                 [kernel](const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* result,
                          std::int64_t count) { kernel(result, a, b, count); })) {
      return;
    }
    if (labels && on_bytes(line, n, gil,
                           [&](const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* result,
                               std::int64_t count) {
                             byte_sums_tested(x.type, a, y.type, b, count, test, result);
                           })) {
      return;
    }
    if (bytes) {  // the int64 values are 0 and 1: both set, or either set
      auto flags = [](ElementType type) {
        return [type](const char* p, std::int64_t step, std::int64_t count, std::uint8_t* to) {
          load_flags(type, p, step, count, to);
        };
      };
      in_chunks<std::uint8_t, std::uint8_t>(line, n, gil, flags(x.type), flags(y.type),
                                            [test](const std::uint8_t* a, const std::uint8_t* b,
                                                   std::int64_t count, std::uint8_t* result) {
                                              if (test == SumTest::IsTwo) {
                                                for (std::int64_t i = 0; i < count; ++i)
                                                  result[i] = a[i] & b[i];
                                              } else {
                                                for (std::int64_t i = 0; i < count; ++i)
                                                  result[i] = a[i] | b[i];
                                              }
                                            });
    } else if (x.type.size == 1 && y.type.size == 1) {  // 8-bit labels
      sums_tested<std::int16_t>(line, n, x.type, y.type, test, gil, load_byte_values);
    } else if (x.type.size <= 2 && y.type.size <= 2) {  // sums that cannot wrap
      sums_tested<std::int32_t>(line, n, x.type, y.type, test, gil, load_small_values);
    } else {
      sums_tested<std::int64_t>(line, n, x.type, y.type, test, gil, load_values);
    }
  });
}

// The axis order (outermost first) of a new array that numpy lays out like `a`
// (astype, empty_like: order 'K').
Index like_order(const Geometry& a) {
  Index order{};
  std::iota(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(a.ndim), 0);
  if (a.c_contiguous()) return order;
  if (a.f_contiguous()) {
    std::reverse(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(a.ndim));
    return order;
  }
  auto magnitude = [&](std::int64_t axis) { return std::abs(a.strides[axis]); };
  sort_axes(order, a.ndim, magnitude);
  return order;
}

// numpy lays the sum of two arrays out in C order when either is C-ordered, and like
// both when they are laid out alike; zeros_like and astype keep that layout. Other mixes
// (where numpy's iterator weighs the strides of both) are left to the plain steps.
std::optional<Ref> sum_result_array(const rt::Call& call, rt::Handle x, const MaskData& a,
                                    const MaskData& b) {
  const Index first = like_order(a.geometry);
  const Index second = like_order(b.geometry);
  const auto c_order = [&](const Index& order) {
    return std::is_sorted(order.begin(),
                          order.begin() + static_cast<std::ptrdiff_t>(a.geometry.ndim));
  };
  if (c_order(first) || c_order(second)) return new_bool_array(call, a.geometry);
  if (first == second) return new_bool_array_like(call, x);
  return std::nullopt;
}

bool names_untouched(const rt::Call& call, std::initializer_list<const char*> names) {
  return call.bound_at_import(names);
}

Ref sum_test(const rt::Call& call, rt::Handle x, rt::Handle y, SumTest test) {
  const ReadableMask first(call, x);
  const ReadableMask second(call, y);
  if (!same_shape(first, second)) return {};
  const MaskData& a = *first.mask();
  const MaskData& b = *second.mask();
  Ref result;
  if (test == SumTest::IsTwo) {
    std::optional<Ref> made = sum_result_array(call, x, a, b);
    if (!made) return {};
    result = std::move(*made);
  } else {
    result = new_bool_array_like(call, x);  // np.ones_like(x), then astype(bool)
  }
  const WritableMask out(result);
  {
    const Isa isa = isa_of(call);
    rt::WithoutGil gil;
    fill_sum_test(a, b, out, test, isa, gil);
  }
  return result;
}

}  // namespace

Ref superposition(const rt::Call& call, rt::Handle x, rt::Handle y) {
  if (!names_untouched(call, {"int", "bool", "np", "np.zeros_like", "np.where"})) return {};
  return sum_test(call, x, y, SumTest::IsTwo);
}

Ref union_set(const rt::Call& call, rt::Handle x, rt::Handle y) {
  if (!names_untouched(call, {"int", "bool", "np", "np.ones_like", "np.where"})) return {};
  return sum_test(call, x, y, SumTest::NonZero);
}

// x.astype(bool, copy=True) with False where y is set: a boolean x keeps its bytes (the
// copy is byte for byte), any other x becomes 0 or 1; floats are read by their truth.
Ref diff_set(const rt::Call& call, rt::Handle x, rt::Handle y) {
  if (!names_untouched(call, {"bool", "np", "np.where"})) return {};
  const ReadableMask first(call, x, true);
  const ReadableMask second(call, y, true);
  if (!same_shape(first, second)) return {};
  const MaskData& a = *first.mask();
  const MaskData& b = *second.mask();
  Ref result = new_bool_array_like(call, x);
  const WritableMask out(result);
  const ByteOpKernel kept_where_clear = byte_op_kernel(isa_of(call), ByteOp::KeptWhereClear);
  {
    rt::WithoutGil gil;
    const bool keep_bytes = a.type.kind == ElementKind::Bool;
    // y's truth is its byte's where it has one byte and is no float.
    const bool y_byte = b.type.size == 1 && b.type.kind != ElementKind::Float;
    for_each_line(out, a, b, [&](const Line& line, std::int64_t n) {
      if (keep_bytes && y_byte &&
          on_bytes(line, n, gil,
                   [kept_where_clear](const std::uint8_t* kept, const std::uint8_t* cleared,
                                      std::uint8_t* result, std::int64_t count) {
                     kept_where_clear(result, kept, cleared, count);
                   })) {
        return;
      }
      in_chunks<std::uint8_t, std::uint8_t>(
          line, n, gil,
          [&](const char* p, std::int64_t step, std::int64_t count, std::uint8_t* to) {
            if (!keep_bytes) return load_flags(a.type, p, step, count, to);
            if (step == 1) {
              std::memcpy(to, p, static_cast<std::size_t>(count));
              return;
            }
            for (std::int64_t i = 0; i < count; ++i) {
              to[i] = static_cast<std::uint8_t>(p[i * step]);
            }
          },
          [&](const char* p, std::int64_t step, std::int64_t count, std::uint8_t* to) {
            load_flags(b.type, p, step, count, to);
          },
          [](const std::uint8_t* kept, const std::uint8_t* cleared, std::int64_t count,
             std::uint8_t* result) {
            for (std::int64_t i = 0; i < count; ++i) {
              result[i] = static_cast<std::uint8_t>(kept[i] & (cleared[i] - 1));
            }
          });
    });
  }
  return result;
}

}  // namespace orvane::medical::fast
