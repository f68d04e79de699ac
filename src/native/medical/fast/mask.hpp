// Reading a numpy mask through the buffer protocol: its element type (any byte order),
// its geometry, and per element whether it is non-zero and its value as numpy's
// astype(int) gives it. The loops over elements are templates over the element type, so
// that each runs without a test of the type per element.
#pragma once
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>

#include "orvane/rt/buffer.hpp"

namespace orvane::medical::fast {

// The fast paths handle up to 7 axes: numpy sums squares of up to 7 coordinates left to
// right, which is the order the scoring code reproduces.
inline constexpr std::size_t kMaxAxes = 7;

using Index = std::array<std::int64_t, kMaxAxes>;

// An unaligned read of a T at p.
template <class T>
T load(const char* p) noexcept {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

enum class ElementKind { Bool, Signed, Unsigned, Float };

struct ElementType {
  ElementKind kind;
  int size;              // bytes
  bool swapped = false;  // stored in the other byte order than the machine's
};

// The element type of a buffer that the fast paths understand, if any.
std::optional<ElementType> element_type(const rt::BufferView& view);

inline std::uint8_t byte_swap(std::uint8_t v) noexcept {
  return v;
}
inline std::uint16_t byte_swap(std::uint16_t v) noexcept {
  return __builtin_bswap16(v);
}
inline std::uint32_t byte_swap(std::uint32_t v) noexcept {
  return __builtin_bswap32(v);
}
inline std::uint64_t byte_swap(std::uint64_t v) noexcept {
  return __builtin_bswap64(v);
}

// One element type: `Bits` is the unsigned integer of its size.
template <ElementKind Kind, class Bits, bool Swapped>
struct Element {
  static constexpr ElementKind kKind = Kind;
  static constexpr int kSize = sizeof(Bits);

  static Bits bits(const char* p) noexcept {
    const Bits raw = load<Bits>(p);
    if constexpr (Swapped) {
      return byte_swap(raw);
    } else {
      return raw;
    }
  }
  // What numpy's truth test, nonzero() and scipy's morphology see as set. A boolean
  // element is set whatever non-zero byte it holds; NaN is set, -0.0 is not.
  static bool nonzero(const char* p) noexcept {
    if constexpr (Kind != ElementKind::Float) {
      return load<Bits>(p) != 0;  // any non-zero byte, in either byte order
    } else if constexpr (sizeof(Bits) == 2) {
      return (bits(p) & 0x7fffu) != 0;
    } else if constexpr (sizeof(Bits) == 4) {
      return std::bit_cast<float>(bits(p)) != 0.0f;
    } else {
      return std::bit_cast<double>(bits(p)) != 0.0;
    }
  }
  // astype(int) (int64) of a boolean or integer element; uint64 wraps, as numpy's cast.
  static std::int64_t value(const char* p) noexcept {
    static_assert(Kind != ElementKind::Float, "floats truncate: the fast paths leave them");
    if constexpr (Kind == ElementKind::Bool) {
      return *p != 0 ? 1 : 0;
    } else if constexpr (Kind == ElementKind::Signed) {
      return static_cast<std::make_signed_t<Bits>>(bits(p));
    } else {
      return static_cast<std::int64_t>(bits(p));
    }
  }
};

// Calls visit(Element<...>{}) with the element type of `type`.
template <class Visit>
decltype(auto) visit_element(ElementType type, Visit&& visit) {
  using K = ElementKind;
  auto sized = [&]<class Bits>(Bits) -> decltype(auto) {
    auto kind = [&]<bool Swapped>(std::bool_constant<Swapped>) -> decltype(auto) {
      switch (type.kind) {
        case K::Signed:
          return visit(Element<K::Signed, Bits, Swapped>{});
        case K::Unsigned:
          return visit(Element<K::Unsigned, Bits, Swapped>{});
        case K::Float:
          if constexpr (sizeof(Bits) >= 2) return visit(Element<K::Float, Bits, Swapped>{});
          [[fallthrough]];
        default:
          return visit(Element<K::Bool, std::uint8_t, false>{});
      }
    };
    if constexpr (sizeof(Bits) == 1) {
      return kind(std::false_type{});
    } else {
      return type.swapped ? kind(std::true_type{}) : kind(std::false_type{});
    }
  };
  switch (type.size) {
    case 2:
      return sized(std::uint16_t{});
    case 4:
      return sized(std::uint32_t{});
    case 8:
      return sized(std::uint64_t{});
    default:
      return sized(std::uint8_t{});
  }
}

// Whether elements of `type` are label bytes: integers of one byte, either sign (8-bit
// label maps, as segmenters give them).
inline bool label_bytes(ElementType type) noexcept {
  return type.size == 1 && (type.kind == ElementKind::Signed || type.kind == ElementKind::Unsigned);
}

// Calls visit(xs, ys) with the label bytes x and y (label_bytes) as pointers of their own
// sign, std::int8_t or std::uint8_t.
template <class Visit>
void visit_label_bytes(ElementType x_type, const void* x, ElementType y_type, const void* y,
                       Visit&& visit) {
  const auto* xu = static_cast<const std::uint8_t*>(x);
  const auto* xs = static_cast<const std::int8_t*>(x);
  const auto* yu = static_cast<const std::uint8_t*>(y);
  const auto* ys = static_cast<const std::int8_t*>(y);
  const bool y_signed = y_type.kind == ElementKind::Signed;
  if (x_type.kind == ElementKind::Signed) {
    y_signed ? visit(xs, ys) : visit(xs, yu);
  } else {
    y_signed ? visit(xu, ys) : visit(xu, yu);
  }
}

// Shape and strides of an array of up to kMaxAxes axes, in bytes.
struct Geometry {
  std::size_t ndim = 0;
  Index shape{};
  Index strides{};
  std::int64_t size = 1;
  std::int64_t itemsize = 1;

  explicit Geometry(const rt::BufferView& view);
  Geometry() = default;
  std::int64_t last() const noexcept { return shape[ndim - 1]; }
  std::int64_t lines() const noexcept { return size / last(); }
  // numpy's C_CONTIGUOUS and F_CONTIGUOUS flags.
  bool c_contiguous() const noexcept;
  bool f_contiguous() const noexcept;
};

// A mask as the fast paths read it: data, geometry and element type.
struct MaskData {
  const char* data;
  Geometry geometry;
  ElementType type;
};

// An order of the axes: order[k] is the axis that comes k-th.
using AxisOrder = std::array<std::size_t, kMaxAxes>;

// The axes from the largest stride to the smallest (equal strides in their own order):
// the order in which the elements lie in memory, so that a walk in C order of the
// reordered geometry is a walk of the memory (a Fortran-ordered array's axes reversed).
// The identity where the axes are in that order already.
AxisOrder memory_order(const Geometry& shape) noexcept;

// memory_order, but with a short innermost axis (a series of a few time points, last in C
// order) swapped with the next one where that is longer: work done line by line then has
// long lines, at a small stride. For work whose answer does not depend on the order.
AxisOrder line_order(const Geometry& shape) noexcept;

// The same elements with the axes taken in `order` (a view: the data is not moved).
MaskData reordered(const MaskData& x, const AxisOrder& order) noexcept;

// Walks the lines along the last axis of an array in C order of their indices: index()
// holds the indices of the line (the last one is 0), offset() its first element's offset
// in bytes from the start of each of the N arrays walked together (one shape, each with
// its strides).
template <std::size_t N>
class LineWalker {
 public:
  LineWalker(const Geometry& shape, const std::array<const Index*, N>& strides) noexcept
      : shape_(shape), strides_(strides) {}
  const Index& index() const noexcept { return index_; }
  std::int64_t offset(std::size_t array) const noexcept { return offset_[array]; }
  // Steps to the next line; false after the last one.
  bool next() noexcept {
    for (std::size_t axis = shape_.ndim - 1; axis-- > 0;) {
      for (std::size_t a = 0; a < N; ++a) offset_[a] += (*strides_[a])[axis];
      if (++index_[axis] < shape_.shape[axis]) return true;
      for (std::size_t a = 0; a < N; ++a) offset_[a] -= index_[axis] * (*strides_[a])[axis];
      index_[axis] = 0;
    }
    return false;
  }

 private:
  const Geometry& shape_;
  std::array<const Index*, N> strides_;
  Index index_{};
  std::array<std::int64_t, N> offset_{};
};

// Sorts the first `count` axes of `axes` by decreasing `key`, keeping the order of equal
// keys (an insertion sort: there are at most kMaxAxes).
template <class Axes, class Key>
void sort_axes(Axes& axes, std::size_t count, Key&& key) {
  for (std::size_t i = 1; i < count; ++i) {
    const auto axis = axes[i];
    std::size_t j = i;
    for (; j > 0 && key(axes[j - 1]) < key(axis); --j) axes[j] = axes[j - 1];
    axes[j] = axis;
  }
}

// Chunks of elements converted for the kernels: 1 where an element is non-zero, else 0;
// or the element's astype(int) value. `stride` is in bytes.
void load_flags(ElementType type, const char* p, std::int64_t stride, std::int64_t count,
                std::uint8_t* out) noexcept;
void load_values(ElementType type, const char* p, std::int64_t stride, std::int64_t count,
                 std::int64_t* out) noexcept;
// The same for elements of at most two bytes (label maps), whose values and their sums fit
// an int32 exactly.
void load_small_values(ElementType type, const char* p, std::int64_t stride, std::int64_t count,
                       std::int32_t* out) noexcept;
// And for one-byte elements (8-bit label maps), whose sums fit an int16: twice the
// elements per vector.
void load_byte_values(ElementType type, const char* p, std::int64_t stride, std::int64_t count,
                      std::int16_t* out) noexcept;

}  // namespace orvane::medical::fast
