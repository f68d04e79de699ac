// t rounds of erosion or dilation by the face neighbours, in one go: t erosions keep the
// elements whose city-block distance to the background exceeds t (the outside of the
// array counts as background, as scipy's border_value=0 has it), and t dilations add the
// elements within distance t of the mask (the outside holds no mask element; a shortest
// path between two elements of a box stays inside it, so the rounds agree with this).
//
// The distances, clipped at `top` = t + 1, are computed in place in a C-ordered buffer of
// a small unsigned type: along the last axis row by row, then along the middle axes
// within each slab (all elements of one index along the first axis), then along the first
// axis by a forward sweep over the slabs and a backward one, in which each slab is
// handed to `finish` as soon as its distances are final. So the buffer can be the result
// itself, overwritten slab by slab, and besides it only one slab is kept.
#pragma once
#include <algorithm>
#include <memory>
#include <vector>

#include "mask.hpp"
#include "orvane/rt/gil.hpp"

namespace orvane::medical::fast {

inline constexpr std::int64_t kRowChunk = 2048;

template <class Dist>
class DistanceField {
 public:
  // `distances`: the C-ordered buffer of `shape`; `outside_is_source`: erosion (the
  // distance is to the background, which the outside belongs to) or dilation.
  DistanceField(Dist* distances, const Geometry& shape, std::int64_t t, bool outside_is_source)
      : d_(distances),
        shape_(shape),
        top_(static_cast<Dist>(t + 1)),
        t_(t),
        edge_(outside_is_source ? Dist{0} : top_) {}

  // init(index, start, count, out): writes 0 (a source: background for erosion, a mask
  // element for dilation) or `top()` for the elements [start, start + count) of the line
  // with indices `index`. finish(first_index, slab): the distances of one slab (or of the
  // whole array when it has one axis), final, in decreasing order of the first index.
  template <class Init, class Finish>
  void run(Init&& init, Finish&& finish, rt::WithoutGil& gil) {
    const std::int64_t n_last = shape_.last();
    const std::int64_t slab = shape_.ndim == 1 ? shape_.size : shape_.size / shape_.shape[0];
    const std::int64_t slabs = shape_.size / slab;
    const std::int64_t rows = slab / n_last;
    if (rows > 0 && n_last <= kDoublingRow && t_ < kDoublingLimit) {
      row_a_.resize(static_cast<std::size_t>(n_last));
      row_b_.resize(static_cast<std::size_t>(n_last));
    }
    Index index{};
    for (std::int64_t s = 0; s < slabs; ++s) {
      Dist* here = d_ + s * slab;
      for (std::int64_t r = 0; r < rows; ++r) {
        line_index(s, r, index);
        Dist* row = here + r * n_last;
        for (std::int64_t start = 0; start < n_last; start += kRowChunk) {
          const std::int64_t count = std::min(kRowChunk, n_last - start);
          init(index, start, count, row + start);
          gil.progress(count);
        }
        along_row(row, n_last, gil);
      }
      for (std::size_t axis = 1; axis + 1 < shape_.ndim; ++axis) within_slab(here, axis);
      if (shape_.ndim == 1) break;
      if (s == 0) {
        from_outside(here, slab);
      } else {
        relax(here, here - slab, slab);
      }
      gil.progress(slab);
    }
    if (shape_.ndim == 1) {
      finish(std::int64_t{0}, static_cast<const Dist*>(d_));
      return;
    }
    std::vector<Dist> next(static_cast<std::size_t>(slabs > 1 ? slab : 0));
    for (std::int64_t s = slabs; s-- > 0;) {
      Dist* here = d_ + s * slab;
      if (s == slabs - 1) {
        from_outside(here, slab);
      } else {
        relax(here, next.data(), slab);
      }
      if (s > 0) std::copy_n(here, slab, next.data());
      finish(s, static_cast<const Dist*>(here));
      gil.progress(slab);
    }
  }

  Dist top() const noexcept { return top_; }

 private:
  static constexpr std::int64_t kDoublingRow = std::int64_t{1} << 16;
  static constexpr std::int64_t kDoublingLimit = 16;

  void line_index(std::int64_t slab, std::int64_t row, Index& index) const noexcept {
    if (shape_.ndim == 1) return;
    for (std::size_t k = shape_.ndim - 1; k-- > 1;) {
      index[k] = row % shape_.shape[k];
      row /= shape_.shape[k];
    }
    index[0] = slab;
  }

  // dst = min(dst, src + 1), clipped at top.
  void relax(Dist* dst, const Dist* src, std::int64_t count) const noexcept {
    const Dist below = static_cast<Dist>(top_ - 1);
    for (std::int64_t i = 0; i < count; ++i) {
      const Dist via = static_cast<Dist>(std::min(src[i], below) + 1);
      dst[i] = std::min(dst[i], via);
    }
  }
  // The neighbours beyond the first or last slab or row are outside the array.
  void from_outside(Dist* dst, std::int64_t count) const noexcept {
    if (edge_ != 0) return;
    for (std::int64_t i = 0; i < count; ++i) dst[i] = std::min<Dist>(dst[i], 1);
  }

  // Along axis `axis` (1 .. ndim-2) within one slab: forward and backward sweeps over the
  // planes of that axis, each a contiguous block of the later axes.
  void within_slab(Dist* slab, std::size_t axis) const noexcept {
    std::int64_t inner = 1;
    for (std::size_t k = axis + 1; k < shape_.ndim; ++k) inner *= shape_.shape[k];
    std::int64_t outer = 1;
    for (std::size_t k = 1; k < axis; ++k) outer *= shape_.shape[k];
    const std::int64_t n = shape_.shape[axis];
    for (std::int64_t b = 0; b < outer; ++b) {
      Dist* base = slab + b * n * inner;
      from_outside(base, inner);
      for (std::int64_t i = 1; i < n; ++i) relax(base + i * inner, base + (i - 1) * inner, inner);
      from_outside(base + (n - 1) * inner, inner);
      for (std::int64_t i = n - 1; i-- > 0;) relax(base + i * inner, base + (i + 1) * inner, inner);
    }
  }

  // Along the last axis. Short rows and small t: passes with steps 1, 2, 4, ... up to t
  // (every offset up to t is a sum of distinct steps), each a loop the compiler
  // vectorises. Else a forward and a backward sweep.
  void along_row(Dist* row, std::int64_t n, rt::WithoutGil& gil) {
    if (!row_a_.empty()) {
      Dist* src = row;
      Dist* dst = row_a_.data();
      for (std::int64_t step = 1; step <= t_; step *= 2) {
        doubling_pass(src, dst, n, step);
        src = dst;
        dst = dst == row_a_.data() ? row_b_.data() : row_a_.data();
      }
      if (src != row) std::copy_n(src, n, row);
      return;
    }
    const Dist below = static_cast<Dist>(top_ - 1);
    Dist previous = edge_;
    for (std::int64_t i = 0; i < n; ++i) {
      previous = std::min(row[i], static_cast<Dist>(std::min(previous, below) + 1));
      row[i] = previous;
      if ((i & 0xffff) == 0xffff) gil.progress(0x10000);
    }
    previous = edge_;
    for (std::int64_t i = n; i-- > 0;) {
      previous = std::min(row[i], static_cast<Dist>(std::min(previous, below) + 1));
      row[i] = previous;
      if ((i & 0xffff) == 0) gil.progress(0x10000);
    }
  }

  void doubling_pass(const Dist* src, Dist* dst, std::int64_t n, std::int64_t step) const noexcept {
    const Dist cap = static_cast<Dist>(top_ - step);  // step <= t, so cap >= 1
    const Dist add = static_cast<Dist>(step);
    auto via = [&](Dist value) { return static_cast<Dist>(std::min(value, cap) + add); };
    const Dist outside = via(edge_);
    for (std::int64_t i = 0; i < n; ++i) {
      if (i >= step && i + step < n) {
        // The interior, in one vectorisable stretch.
        const std::int64_t end = n - step;
        for (std::int64_t j = i; j < end; ++j) {
          dst[j] = std::min(std::min(src[j], via(src[j - step])), via(src[j + step]));
        }
        i = end - 1;
        continue;
      }
      const Dist left = i >= step ? via(src[i - step]) : outside;
      const Dist right = i + step < n ? via(src[i + step]) : outside;
      dst[i] = std::min(std::min(src[i], left), right);
    }
  }

  Dist* d_;
  const Geometry& shape_;
  Dist top_;
  std::int64_t t_;
  Dist edge_;  // the distance value of the outside: 0 when it is a source, else top
  std::vector<Dist> row_a_;
  std::vector<Dist> row_b_;
};

}  // namespace orvane::medical::fast
