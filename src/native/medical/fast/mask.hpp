// Reading a numpy mask through the buffer protocol: its shape, and for every element in
// row-major order whether it is non-zero and its value as numpy's astype(int) gives it.
#pragma once
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "orvane/rt/buffer.hpp"
#include "orvane/rt/object.hpp"

namespace orvane::medical::fast {

// The fast paths handle up to 7 axes: numpy sums squares of up to 7 coordinates left to
// right, which is the order the scoring code reproduces.
inline constexpr std::size_t kMaxAxes = 7;

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
  int size;  // bytes
};

// The element type of a buffer that the fast paths understand, if any.
std::optional<ElementType> element_type(const rt::BufferView& view);

class MaskReader {
 public:
  MaskReader(const rt::BufferView& view, ElementType type);

  std::size_t ndim() const noexcept { return ndim_; }
  std::int64_t extent(std::size_t axis) const noexcept { return shape_[axis]; }
  std::size_t size() const noexcept { return size_; }

  // Element at a multi-index (each within the shape).
  const char* at(const std::int64_t* index) const noexcept {
    const char* p = data_;
    for (std::size_t k = 0; k < ndim_; ++k) p += index[k] * strides_[k];
    return p;
  }
  bool nonzero(const char* p) const noexcept;
  // numpy's astype(int) (int64) of an integer or boolean element. A boolean element is 1
  // whatever non-zero byte it holds (views and buffers filled by C code may hold others).
  std::int64_t as_int64(const char* p) const noexcept;

  // Calls visit(index, pointer) for every non-zero element in row-major order. Pending
  // signal handlers run every million elements, however the elements fall into rows, so
  // Ctrl-C stops a scan of a huge mask (or of one huge row) within a second (their
  // exception propagates).
  template <class Visit>
  void for_each_nonzero(Visit&& visit) const {
    if (size_ == 0) return;
    constexpr std::int64_t kCheckEvery = std::int64_t{1} << 20;
    std::int64_t budget = kCheckEvery;
    std::array<std::int64_t, kMaxAxes> index{};
    const std::size_t last = ndim_ - 1;
    const std::int64_t step = strides_[last];
    // In a contiguous line, eight zero bytes are zero elements of any type: skip them.
    const bool contiguous = step == type_.size;
    const std::int64_t per_word = 8 / type_.size;
    for (;;) {
      const char* p = at(index.data());
      for (index[last] = 0; index[last] < shape_[last];) {
        if (budget <= 0) {
          budget = kCheckEvery;
          rt::check_interrupts();
        }
        if (contiguous && index[last] + per_word <= shape_[last] && load<std::uint64_t>(p) == 0) {
          index[last] += per_word;
          p += 8;
          budget -= per_word;
          continue;
        }
        if (nonzero(p)) visit(index, p);
        ++index[last];
        p += step;
        --budget;
      }
      --budget;  // each row costs something, however short
      std::size_t axis = last;
      for (;;) {
        if (axis == 0) return;
        --axis;
        if (++index[axis] < shape_[axis]) break;
        index[axis] = 0;
      }
      index[last] = 0;
    }
  }

 private:
  const char* data_;
  std::size_t ndim_;
  std::array<std::int64_t, kMaxAxes> shape_{};
  std::array<std::int64_t, kMaxAxes> strides_{};
  std::size_t size_ = 1;
  ElementType type_;
};

}  // namespace orvane::medical::fast
