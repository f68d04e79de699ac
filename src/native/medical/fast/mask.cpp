#include "mask.hpp"

#include <cstring>
#include <limits>
#include <utility>

namespace orvane::medical::fast {

std::optional<ElementType> element_type(const rt::BufferView& view) {
  bool swapped = false;
  const char* format = view.unprefixed_format(swapped);
  if (format == nullptr || format[0] == '\0' || format[1] != '\0') return std::nullopt;
  const int size = static_cast<int>(view.itemsize());
  const char code = format[0];
  const bool sized = size == 1 || size == 2 || size == 4 || size == 8;
  if (code == '?' && size == 1) return ElementType{ElementKind::Bool, 1, false};
  if (std::strchr("bhilq", code) != nullptr && sized) {
    return ElementType{ElementKind::Signed, size, swapped && size > 1};
  }
  if (std::strchr("BHILQ", code) != nullptr && sized) {
    return ElementType{ElementKind::Unsigned, size, swapped && size > 1};
  }
  if ((code == 'e' && size == 2) || (code == 'f' && size == 4) || (code == 'd' && size == 8)) {
    return ElementType{ElementKind::Float, size, swapped};
  }
  return std::nullopt;
}

Geometry::Geometry(const rt::BufferView& view)
    : ndim(view.ndim()), itemsize(static_cast<std::int64_t>(view.itemsize())) {
  for (std::size_t k = 0; k < ndim; ++k) {
    shape[k] = view.shape()[k];
    strides[k] = view.strides()[k];
    size *= shape[k];
  }
}

bool Geometry::c_contiguous() const noexcept {
  if (size == 0) return true;
  std::int64_t expected = itemsize;
  for (std::size_t k = ndim; k-- > 0;) {
    if (shape[k] != 1 && strides[k] != expected) return false;
    expected *= shape[k];
  }
  return true;
}

bool Geometry::f_contiguous() const noexcept {
  if (size == 0) return true;
  std::int64_t expected = itemsize;
  for (std::size_t k = 0; k < ndim; ++k) {
    if (shape[k] != 1 && strides[k] != expected) return false;
    expected *= shape[k];
  }
  return true;
}

AxisOrder memory_order(const Geometry& shape) noexcept {
  AxisOrder order{};
  for (std::size_t k = 0; k < shape.ndim; ++k) order[k] = k;
  // An axis of extent 1 has no say in the order: it stays where it is while the others are
  // in order already (C order stays as it is), and goes first otherwise.
  auto magnitude = [&](std::size_t axis) {
    const std::int64_t stride = shape.strides[axis];
    return shape.shape[axis] == 1 ? std::numeric_limits<std::int64_t>::max()
                                  : (stride < 0 ? -stride : stride);
  };
  std::int64_t previous = std::numeric_limits<std::int64_t>::max();
  bool ordered = true;
  for (std::size_t k = 0; k < shape.ndim; ++k) {
    if (shape.shape[k] == 1) continue;
    ordered = ordered && magnitude(k) <= previous;
    previous = magnitude(k);
  }
  if (!ordered) sort_axes(order, shape.ndim, magnitude);
  return order;
}

AxisOrder line_order(const Geometry& shape) noexcept {
  AxisOrder order = memory_order(shape);
  const std::size_t n = shape.ndim;
  constexpr std::int64_t kShortLine = 32;
  if (n > 1 && shape.shape[order[n - 1]] < kShortLine &&
      shape.shape[order[n - 2]] > shape.shape[order[n - 1]]) {
    std::swap(order[n - 1], order[n - 2]);
  }
  return order;
}

MaskData reordered(const MaskData& x, const AxisOrder& order) noexcept {
  MaskData result = x;
  for (std::size_t k = 0; k < x.geometry.ndim; ++k) {
    result.geometry.shape[k] = x.geometry.shape[order[k]];
    result.geometry.strides[k] = x.geometry.strides[order[k]];
  }
  return result;
}

void load_flags(ElementType type, const char* p, std::int64_t stride, std::int64_t count,
                std::uint8_t* out) noexcept {
  visit_element(type, [&]<class E>(E) {
    if (stride == E::kSize) {  // contiguous: a loop the compiler vectorises
      for (std::int64_t i = 0; i < count; ++i) out[i] = E::nonzero(p + i * E::kSize) ? 1 : 0;
    } else {
      for (std::int64_t i = 0; i < count; ++i) out[i] = E::nonzero(p + i * stride) ? 1 : 0;
    }
  });
}

namespace {

template <class Value>
void load_values_as(ElementType type, const char* p, std::int64_t stride, std::int64_t count,
                    Value* out) noexcept {
  visit_element(type, [&]<class E>(E) {
    if constexpr (E::kKind != ElementKind::Float) {
      if (stride == E::kSize) {  // contiguous: a loop the compiler vectorises
        for (std::int64_t i = 0; i < count; ++i) {
          out[i] = static_cast<Value>(E::value(p + i * E::kSize));
        }
      } else {
        for (std::int64_t i = 0; i < count; ++i)
          out[i] = static_cast<Value>(E::value(p + i * stride));
      }
    }
  });
}

}  // namespace

void load_values(ElementType type, const char* p, std::int64_t stride, std::int64_t count,
                 std::int64_t* out) noexcept {
  load_values_as(type, p, stride, count, out);
}

void load_small_values(ElementType type, const char* p, std::int64_t stride, std::int64_t count,
                       std::int32_t* out) noexcept {
  load_values_as(type, p, stride, count, out);
}

void load_byte_values(ElementType type, const char* p, std::int64_t stride, std::int64_t count,
                      std::int16_t* out) noexcept {
  load_values_as(type, p, stride, count, out);
}

}  // namespace orvane::medical::fast
