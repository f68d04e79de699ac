// The shell of one erosion along one inner line of a byte mask: the kernel that the shell,
// the minimum distance's shell points and the crossing test's band share, built for each
// vector instruction set (isa.hpp).
#pragma once
#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "isa.hpp"
#include "mask.hpp"
#include "orvane/rt/gil.hpp"

namespace orvane::medical::fast {

// The line's face neighbours along the other axes: sides[2k] and sides[2k + 1] are the
// lines one index before and after along axis k.
using Sides = std::array<const std::uint8_t*, 2 * kMaxAxes>;

// to[i] for i in [i0, i1): 1 where row[i] is non-zero and row[i - 1], row[i + 1] or one of
// the `count` side lines is zero at i, else 0. The elements i0 - 1 and i1 are read.
using ShellLineKernel = void (*)(std::uint8_t* to, const std::uint8_t* row, const Sides& sides,
                                 std::int64_t i0, std::int64_t i1);

// The kernel for lines with `count` side lines (2 * (ndim - 1)), at the current width. With
// `labels` (8-bit label maps), to[i] is also 1 where row[i] is neither 0 nor 1: the shell as
// x.astype(int) - eroded.astype(int) != 0 has it, since the erosion leaves 0 or 1 there,
// never the value (as unsigned bytes, the values above 1, int8's negative ones included).
// Elements without all their neighbours are on the shell where they are non-zero, labels
// or not.
ShellLineKernel shell_line_kernel(Isa isa, std::size_t count, bool labels = false);

// One round of dilation of a 0/1 buffer: to[i] for i in [i0, i1) is the largest of row[i],
// row[i - 1], row[i + 1] and the `count` side lines at i. No fix-up at line ends: the
// caller pads its lines.
using DilateKernel = void (*)(std::uint8_t* to, const std::uint8_t* row, const Sides& sides,
                              std::int64_t i0, std::int64_t i1);

DilateKernel dilate_kernel(Isa isa, std::size_t count);

// acc[i] |= p[i] for i in [0, n); returns whether any p[i] is non-zero.
using OrIntoKernel = bool (*)(std::uint8_t* acc, const std::uint8_t* p, std::int64_t n);

OrIntoKernel or_into_kernel(Isa isa);

// The census of n (at most 2**16) elements of two one-byte masks: out[0] x's non-zero
// elements, out[1] the sum of their positions, out[2] the elements where x is zero and y
// counts (non-zero; with `labels`, exactly 1, astype(int) == 1 for one-byte integers).
using PairCensusKernel = void (*)(const std::uint8_t* x, const std::uint8_t* y, std::int64_t n,
                                  bool labels, std::uint32_t* out);

PairCensusKernel pair_census_kernel(Isa isa);

// to[i] = 1 where from[i] is non-zero, else 0, for i in [0, n): the truth of boolean bytes.
using TruthKernel = void (*)(std::uint8_t* to, const std::uint8_t* from, std::int64_t n);

TruthKernel truth_kernel(Isa isa);

// to[i] = 1 where from[i] is 2, else 0, for i in [0, n): the band of 8-bit labels with no
// round.
using TwosKernel = void (*)(std::uint8_t* to, const std::uint8_t* from, std::int64_t n);

TwosKernel twos_kernel(Isa isa);

// to[i] = reached[i] & (x[i] == 0) & (y[i] != 0) for i in [0, n): the crossing test's band
// of boolean masks, with `reached` 0 or 1.
using BoolBandKernel = void (*)(std::uint8_t* to, const std::uint8_t* reached,
                                const std::uint8_t* x, const std::uint8_t* y, std::int64_t n);

BoolBandKernel bool_band_kernel(Isa isa);

// to[i] = 1 where int(reached[i]) - int(x[i]) + int(y[i]) == 2, else 0, for i in [0, n):
// the band of 8-bit unsigned label maps, with `reached` 0 or 1.
using LabelBandKernel = BoolBandKernel;

LabelBandKernel label_band_kernel(Isa isa);

// The set operations' tests of the bytes of two masks, to[i] for i in [0, n): both non-zero;
// either non-zero; a[i] where b[i] is zero, else 0; and for unsigned 8-bit labels, whether
// a[i] + b[i] is 2 (its low byte is 2 and a[i] is at most 2, b[i] then 2 - a[i]).
enum class ByteOp { BothSet, EitherSet, KeptWhereClear, SumIsTwo };
using ByteOpKernel = void (*)(std::uint8_t* to, const std::uint8_t* a, const std::uint8_t* b,
                              std::int64_t n);

ByteOpKernel byte_op_kernel(Isa isa, ByteOp op);

// flags[l] = 1 where the l-th of `lines` contiguous lines of n bytes at p has a non-zero
// byte, else 0.
using LineFlagsKernel = void (*)(const std::uint8_t* p, std::int64_t n, std::int64_t lines,
                                 std::uint8_t* flags);

// That kernel at the current width.
LineFlagsKernel nonzero_lines_kernel(Isa isa);

// Elements per call of a vector kernel: a check for Ctrl-C between calls.
inline constexpr std::int64_t kStretch = std::int64_t{1} << 16;

// Elements of one plane (the last two axes; the line for one axis).
inline std::int64_t plane_size(const Geometry& shape) {
  return shape.ndim > 1 ? shape.shape[shape.ndim - 2] * shape.last() : shape.last();
}

// shell_by_planes takes masks of one byte per element (boolean, or 8-bit labels) whose
// planes are C-contiguous.
inline bool shell_by_planes_applies(const MaskData& x) {
  const Geometry& shape = x.geometry;
  const std::size_t last = shape.ndim - 1;
  return x.type.size == 1 && x.type.kind != ElementKind::Float && shape.strides[last] == 1 &&
         (last == 0 || shape.strides[last - 1] == shape.last());
}

// x's planes: the lines of x with its last two axes merged into one (shell_by_planes_applies).
inline Geometry plane_geometry(const Geometry& shape) {
  Geometry planes = shape;
  if (shape.ndim > 1) {
    planes.ndim = shape.ndim - 1;
    planes.shape[shape.ndim - 2] = plane_size(shape);
    planes.strides[shape.ndim - 2] = 1;
  }
  return planes;
}

// The side lines of the plane at `from` (whose indices along the other axes are `index`)
// for its inner lines; true when the plane is on a face of the array, where no element
// survives.
inline bool plane_sides(const Geometry& shape, const Index& index, const std::uint8_t* from,
                        Sides& sides) {
  const std::size_t axes = shape.ndim;
  bool border = false;
  for (std::size_t k = 0; k + 2 < axes; ++k) {
    if (index[k] == 0 || index[k] + 1 == shape.shape[k]) border = true;
    sides[2 * k] = from - shape.strides[k];
    sides[2 * k + 1] = from + shape.strides[k];
  }
  if (axes > 1) {
    sides[2 * (axes - 2)] = from - shape.last();
    sides[2 * (axes - 2) + 1] = from + shape.last();
  }
  return border;
}

// The shell of the lines [first, last) of a plane of `lines` lines of n elements (for a mask
// of one axis, `one_axis`: the single line) into `to`, where `from` and `to` (and the side
// lines) start at the plane's line `origin` (0 for a whole plane; a band of lines from
// there on reads the lines next to it from the plane, as the kernel reads its neighbours):
// the inner lines as one stretch, whose vector loop runs across line ends (set again
// afterwards), so short lines cost no loop set-up each.
inline void shell_of_lines(ShellLineKernel kernel, std::uint8_t* to, const std::uint8_t* from,
                           const Sides& sides, bool border, bool one_axis, std::int64_t n,
                           std::int64_t lines, std::int64_t origin, std::int64_t first,
                           std::int64_t last, rt::WithoutGil& gil) {
  std::int64_t begin = (first - origin) * n;
  std::int64_t end = (last - origin) * n;
  std::int64_t inner_begin = std::max(begin, one_axis ? 1 : (1 - origin) * n);
  std::int64_t inner_end = std::min(end, one_axis ? n - 1 : (lines - 1 - origin) * n);
  if (border || inner_begin >= inner_end) inner_begin = inner_end = end;
  for (std::int64_t i = begin; i < inner_begin; ++i) to[i] = from[i] != 0;
  for (std::int64_t start = inner_begin; start < inner_end; start += kStretch) {
    const std::int64_t stop = std::min(inner_end, start + kStretch);
    kernel(to, from, sides, start, stop);
    gil.progress(stop - start);
  }
  // The ends of the inner lines have no neighbour along the line.
  for (std::int64_t i = inner_begin; !one_axis && i < inner_end; i += n) {
    to[i] = from[i] != 0;
    to[i + n - 1] = from[i + n - 1] != 0;
  }
  for (std::int64_t i = inner_end; i < end; ++i) to[i] = from[i] != 0;
  gil.progress(end - begin - (inner_end - inner_begin));
}

// What shell_by_planes does with the lines of a plane that hold no set element (and so
// no element of the shell).
enum class EmptyLines { Zeroed, Skipped };

// The shell of one erosion of x (shell_by_planes_applies) on a band of lines of one plane:
// an element is on it when it is set and an end of its line or one of its face neighbours
// is not set (the outside is background; 8-bit labels add their other values,
// shell_line_kernel). The band's end lines read the lines next to them from the plane, as
// the kernel reads its neighbours. The empty lines, found a band at a time by a vector
// kernel, are zeroed or skipped.
class BandShell {
  static constexpr std::int64_t kLongLine = 256;  // bytes
  static constexpr std::int64_t kShortLine = 64;

 public:
  BandShell(const MaskData& x, Isa isa, EmptyLines empty, std::int64_t band_lines,
            rt::WithoutGil& gil)
      : shape_(x.geometry),
        n_(shape_.last()),
        lines_(plane_size(shape_) / n_),
        band_lines_(band_lines > 0 ? std::min(band_lines, lines_) : lines_),
        kernel_(shell_line_kernel(isa, 2 * (shape_.ndim - 1), x.type.kind != ElementKind::Bool)),
        nonzero_lines_(nonzero_lines_kernel(isa)),
        empty_(empty),
        gil_(gil),
        set_(static_cast<std::size_t>(band_lines_)) {}

  std::int64_t n() const noexcept { return n_; }
  std::int64_t lines() const noexcept { return lines_; }            // of a plane
  std::int64_t band_lines() const noexcept { return band_lines_; }  // at most, of a band

  // The shell of the lines [origin, origin + count) (count <= band_lines()) of the plane at
  // `plane`, whose indices along the other axes are `index`, into `to` (line l at
  // to + (l - origin) * n). done(index, origin, shell, first, last) is called for each run
  // of lines [first, last) with a set element once their shell is there. `ahead` is where
  // the next band to be worked out starts (its lines are fetched meanwhile: the work on
  // this one would leave the memory idle), 0 for none.
  template <class Done>
  void shell(const Index& index, const std::uint8_t* plane, std::int64_t origin, std::int64_t count,
             std::uint8_t* to, std::uintptr_t ahead, Done&& done) {
    const std::int64_t stretch = count * n_;
    const std::uint8_t* from = plane + origin * n_;
    const bool border = plane_sides(shape_, index, from, sides_);
    // A band of short lines is tested as a whole first (one long vector loop), so that an
    // empty one costs no call per line; long lines are tested one by one at once, which
    // costs no more and spares a set band a second pass.
    std::uint8_t any = 1;
    if (n_ < kLongLine) nonzero_lines_(from, stretch, 1, &any);
    if (any != 0 && n_ < kShortLine && empty_ == EmptyLines::Zeroed) {
      // Lines this short cost more to test one by one (a vector loop each) than their
      // shell, which is zero where they are.
      std::fill_n(set_.begin(), count, std::uint8_t{1});
    } else if (any != 0) {
      nonzero_lines_(from, n_, count, set_.data());
    } else {
      std::fill_n(set_.begin(), count, std::uint8_t{0});
    }
    for (std::int64_t first = 0; first < count;) {
      std::int64_t last = first + 1;
      const std::uint8_t kind = set_[static_cast<std::size_t>(first)];
      while (last < count && set_[static_cast<std::size_t>(last)] == kind) ++last;
      if (kind != 0) {
        for (std::int64_t i = 0; ahead != 0 && i < (last - first) * n_; i += 64) {
          __builtin_prefetch(reinterpret_cast<const void*>(ahead + first * n_ + i));
        }
        shell_of_lines(kernel_, to, from, sides_, border, shape_.ndim == 1, n_, lines_, origin,
                       origin + first, origin + last, gil_);
        done(index, origin, static_cast<const std::uint8_t*>(to), origin + first, origin + last);
      } else if (empty_ == EmptyLines::Zeroed) {
        std::fill(to + first * n_, to + last * n_, std::uint8_t{0});
      }
      first = last;
    }
    gil_.progress(stretch / 8);  // the empty lines cost little each
  }

 private:
  const Geometry& shape_;
  std::int64_t n_;
  std::int64_t lines_;
  std::int64_t band_lines_;
  ShellLineKernel kernel_;
  LineFlagsKernel nonzero_lines_;
  EmptyLines empty_;
  rt::WithoutGil& gil_;
  std::vector<std::uint8_t> set_;
  Sides sides_{};
};

// The shell of x (BandShell) plane by plane in C order, each element read from x once with
// its neighbour planes in cache; one plane per step(), or with `band_lines` one band of
// that many lines of a plane (the last one shorter), so that what the shell goes to need
// not hold a whole plane of a large slice. target(number) gives where the step's shell
// goes (0 or 1 per element, at the offsets of its lines from the band's first), and done
// is BandShell's, `index` holding the plane's indices along the other axes.
template <class Target, class Done>
class PlaneShells {
 public:
  PlaneShells(const MaskData& x, Isa isa, EmptyLines empty, Target target, Done done,
              rt::WithoutGil& gil, std::int64_t band_lines = 0)
      : x_(x),
        bands_(x, isa, empty, band_lines, gil),
        planes_count_(x.geometry.size / plane_size(x.geometry)),
        target_(std::move(target)),
        done_(std::move(done)),
        planes_(plane_geometry(x.geometry)),
        walker_(planes_, {&planes_.strides}) {}

  // The next plane or band; false once the last one is done.
  bool step() {
    const std::int64_t n = bands_.n();
    const std::int64_t lines = bands_.lines();
    const std::int64_t origin = band_ * bands_.band_lines();
    const std::int64_t count = std::min(bands_.band_lines(), lines - origin);
    const auto* plane = reinterpret_cast<const std::uint8_t*>(x_.data + walker_.offset(0));
    std::uint8_t* to = target_(number_++);
    const bool last_band = origin + count == lines;
    const bool more = number_ < planes_count_ * bands_per_plane();  // a step after this one
    const auto ahead =
        reinterpret_cast<std::uintptr_t>(plane) + (last_band ? lines : origin + count) * n;
    bands_.shell(walker_.index(), plane, origin, count, to, more ? ahead : 0, done_);
    if (!last_band) {
      ++band_;
      return true;
    }
    band_ = 0;
    return walker_.next();
  }

 private:
  std::int64_t bands_per_plane() const {
    return (bands_.lines() + bands_.band_lines() - 1) / bands_.band_lines();
  }

  const MaskData& x_;
  BandShell bands_;
  std::int64_t planes_count_;
  Target target_;
  Done done_;
  Geometry planes_;
  LineWalker<1> walker_;
  std::int64_t number_ = 0;  // steps taken
  std::int64_t band_ = 0;    // of the plane in hand
};

// All of x's shell at once (see PlaneShells).
template <class Target, class Done>
void shell_by_planes(const MaskData& x, Isa isa, EmptyLines empty, Target target, Done done,
                     rt::WithoutGil& gil) {
  PlaneShells<Target, Done> planes(x, isa, empty, std::move(target), std::move(done), gil);
  while (planes.step()) {
  }
}

}  // namespace orvane::medical::fast
