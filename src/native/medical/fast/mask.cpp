#include "mask.hpp"

#include <cstring>

namespace orvane::medical::fast {

std::optional<ElementType> element_type(const rt::BufferView& view) {
  const char* format = view.native_format();
  if (format == nullptr || format[0] == '\0' || format[1] != '\0') return std::nullopt;
  const int size = static_cast<int>(view.itemsize());
  const char code = format[0];
  if (code == '?' && size == 1) return ElementType{ElementKind::Bool, 1};
  if (std::strchr("bhilq", code) != nullptr && (size == 1 || size == 2 || size == 4 || size == 8)) {
    return ElementType{ElementKind::Signed, size};
  }
  if (std::strchr("BHILQ", code) != nullptr && (size == 1 || size == 2 || size == 4 || size == 8)) {
    return ElementType{ElementKind::Unsigned, size};
  }
  if ((code == 'e' && size == 2) || (code == 'f' && size == 4) || (code == 'd' && size == 8)) {
    return ElementType{ElementKind::Float, size};
  }
  return std::nullopt;
}

MaskReader::MaskReader(const rt::BufferView& view, ElementType type)
    : data_(view.data()), ndim_(view.ndim()), type_(type) {
  for (std::size_t k = 0; k < ndim_; ++k) {
    shape_[k] = view.shape()[k];
    strides_[k] = view.strides()[k];
    size_ *= static_cast<std::size_t>(shape_[k]);
  }
}

bool MaskReader::nonzero(const char* p) const noexcept {
  switch (type_.kind) {
    case ElementKind::Float:
      if (type_.size == 2) return (load<std::uint16_t>(p) & 0x7fffu) != 0;  // +-0 are zero
      if (type_.size == 4) return load<float>(p) != 0.0f;                   // NaN is non-zero
      return load<double>(p) != 0.0;
    default:
      for (int byte = 0; byte < type_.size; ++byte) {
        if (p[byte] != 0) return true;
      }
      return false;
  }
}

std::int64_t MaskReader::as_int64(const char* p) const noexcept {
  if (type_.kind == ElementKind::Bool) return *p != 0 ? 1 : 0;
  const bool is_signed = type_.kind == ElementKind::Signed;
  switch (type_.size) {
    case 1:
      return is_signed ? load<std::int8_t>(p) : load<std::uint8_t>(p);
    case 2:
      return is_signed ? load<std::int16_t>(p) : load<std::uint16_t>(p);
    case 4:
      return is_signed ? load<std::int32_t>(p) : load<std::uint32_t>(p);
    default:
      // uint64 to int64 wraps, as numpy's cast does.
      return static_cast<std::int64_t>(load<std::uint64_t>(p));
  }
}

}  // namespace orvane::medical::fast
