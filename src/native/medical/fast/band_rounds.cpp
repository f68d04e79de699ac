#include "band_rounds.hpp"

#include <algorithm>
#include <vector>

#include "shell_line.hpp"

namespace orvane::medical::fast {
namespace {

// A buffer of x's shape with one element of padding on both sides of every axis, C-ordered.
struct Padded {
  explicit Padded(const Geometry& shape) : ndim(shape.ndim) {
    for (std::size_t k = ndim; k-- > 0;) {
      extent[k] = shape.shape[k] + 2;
      stride[k] = size;
      size *= extent[k];
    }
  }
  // The offset of the element with x's indices `index` (the padding shifts each by one).
  std::int64_t at(const Index& index) const {
    std::int64_t offset = 0;
    for (std::size_t k = 0; k < ndim; ++k) offset += (index[k] + 1) * stride[k];
    return offset;
  }

  std::size_t ndim;
  Index extent{};
  Index stride{};
  std::int64_t size = 1;
};

// Sets the padding among the elements [start, stop) of `buffer` to 0: the lines whose
// indices along the other axes are not all inner, and both ends of the others. Called on
// each stretch just written, while its bytes are still in the caches.
void clear_padding(std::uint8_t* buffer, const Padded& padded, std::int64_t start,
                   std::int64_t stop) {
  const std::int64_t e = padded.extent[padded.ndim - 1];
  std::int64_t line = start / e;
  Index index{};  // the line's indices along the other axes
  std::int64_t rest = line;
  for (std::size_t k = padded.ndim - 1; k-- > 0;) {
    index[k] = rest % padded.extent[k];
    rest /= padded.extent[k];
  }
  for (; line * e < stop; ++line) {
    const std::int64_t begin = line * e;
    bool inner = true;
    for (std::size_t k = 0; k + 1 < padded.ndim; ++k) {
      inner = inner && index[k] > 0 && index[k] + 1 < padded.extent[k];
    }
    const std::int64_t lo = std::max(start, begin);
    const std::int64_t hi = std::min(stop, begin + e);
    if (!inner) {
      std::fill(buffer + lo, buffer + hi, 0);
    } else {
      if (lo == begin) buffer[begin] = 0;
      if (hi == begin + e) buffer[begin + e - 1] = 0;
    }
    for (std::size_t k = padded.ndim - 1; k-- > 0;) {
      if (++index[k] < padded.extent[k]) break;
      index[k] = 0;
    }
  }
}

// reached - x + y == 2 for a line of n elements, x and y label bytes (label_bytes) `x_step`
// and `y_step` bytes apart, each read with its own sign.
void byte_label_band(const std::uint8_t* reached, ElementType x_type, const char* x,
                     std::int64_t x_step, ElementType y_type, const char* y, std::int64_t y_step,
                     std::int64_t n, std::uint8_t* to) {
  auto line = [&]<class X, class Y>(const X* xs, const Y* ys) {
    if (x_step == 1 && y_step == 1) {  // a loop the compiler vectorises
      for (std::int64_t i = 0; i < n; ++i) to[i] = int{reached[i]} - int{xs[i]} + int{ys[i]} == 2;
    } else {
      for (std::int64_t i = 0; i < n; ++i) {
        to[i] = int{reached[i]} - int{xs[i * x_step]} + int{ys[i * y_step]} == 2;
      }
    }
  };
  visit_label_bytes(x_type, x, y_type, y, line);
}

// The planes of a mask (its axes but the first), and a mask of one axis as one plane of
// two axes (the outside holds no element along the new axis either).
Geometry plane_of(const Geometry& shape) {
  Geometry plane;
  plane.ndim = shape.ndim - 1;
  for (std::size_t k = 1; k < shape.ndim; ++k) {
    plane.shape[k - 1] = shape.shape[k];
    plane.strides[k - 1] = shape.strides[k];
    plane.size *= shape.shape[k];
  }
  plane.itemsize = shape.itemsize;
  return plane;
}

Geometry with_two_axes(const Geometry& shape) {
  if (shape.ndim > 1) return shape;
  Geometry lifted = shape;
  lifted.ndim = 2;
  lifted.shape[1] = shape.shape[0];
  lifted.strides[1] = shape.strides[0];
  lifted.shape[0] = 1;
  lifted.strides[0] = 0;
  return lifted;
}

MaskData with_two_axes(const MaskData& x) {
  return {x.data, with_two_axes(x.geometry), x.type};
}

// Planes of x's flags kept for t rounds: the three that the first round reads around the
// one it writes, and back to the plane whose band the last round writes.
std::int64_t flag_planes(std::int64_t t) {
  return std::max<std::int64_t>(3, t + 1);
}

// Bytes of the rounds' planes for t rounds: x's flags (flag_planes), three padded planes
// for each later round but the last (the planes a round reads around the one it writes),
// one for the last, one of zeros (the outside) and the band's plane.
double round_planes(const Geometry& box, std::int64_t t) {
  const Padded padded(plane_of(with_two_axes(box)));
  return static_cast<double>(flag_planes(t) + 3 * (t - 1) + 3) * static_cast<double>(padded.size);
}

// The memory that the rounds' planes may take: a quarter of the mask (or 4 MiB).
double room(std::int64_t whole) {
  return std::max(static_cast<double>(whole) / 4, double{4 << 20});
}

// The band of one plane: reached.astype(int) - x.astype(int) + y.astype(int) == 2; for
// booleans, reached, not in x, and in y. `reached` is the plane's padded rounds, `flags`
// its padded flags of x (which booleans read rather than x again).
class PlaneBand {
 public:
  PlaneBand(const MaskData& x, const MaskData& y, Isa isa)
      : x_(x),
        y_(y),
        plane_(plane_of(x.geometry)),
        y_plane_(plane_of(y.geometry)),
        padded_(plane_),
        flags_(x.type.kind == ElementKind::Bool && y.type.kind == ElementKind::Bool),
        byte_labels_(!flags_ && label_bytes(x.type) && label_bytes(y.type)),
        unsigned_bytes_(byte_labels_ && x.type.kind == ElementKind::Unsigned &&
                        y.type.kind == ElementKind::Unsigned),
        bool_band_(bool_band_kernel(isa)),
        label_band_(label_band_kernel(isa)) {
    if (!flags_ && !byte_labels_) {
      x_values_.resize(static_cast<std::size_t>(plane_.last()));
      y_values_.resize(x_values_.size());
    }
  }

  void write(std::int64_t q, const std::uint8_t* reached, const std::uint8_t* flags,
             std::uint8_t* to, rt::WithoutGil& gil) {
    const std::int64_t n = plane_.last();
    const std::int64_t x_step = plane_.strides[plane_.ndim - 1];
    const std::int64_t y_step = y_plane_.strides[y_plane_.ndim - 1];
    const char* x0 = x_.data + q * x_.geometry.strides[0];
    const char* y0 = y_.data + q * y_.geometry.strides[0];
    LineWalker<2> lines(plane_, {&plane_.strides, &y_plane_.strides});
    do {
      const std::int64_t at = padded_.at(lines.index());
      const std::uint8_t* r = reached + at;
      const char* in_x = x0 + lines.offset(0);
      const char* in_y = y0 + lines.offset(1);
      if (byte_labels_) {
        if (unsigned_bytes_ && x_step == 1 && y_step == 1) {
          label_band_(to, r, reinterpret_cast<const std::uint8_t*>(in_x),
                      reinterpret_cast<const std::uint8_t*>(in_y), n);
        } else {
          byte_label_band(r, x_.type, in_x, x_step, y_.type, in_y, y_step, n, to);
        }
      } else if (!flags_) {
        load_small_values(x_.type, in_x, x_step, n, x_values_.data());
        load_small_values(y_.type, in_y, y_step, n, y_values_.data());
        for (std::int64_t i = 0; i < n; ++i) {
          const auto k = static_cast<std::size_t>(i);
          to[i] = r[i] - x_values_[k] + y_values_[k] == 2;
        }
      } else if (y_step == 1) {
        bool_band_(to, r, flags + at, reinterpret_cast<const std::uint8_t*>(in_y), n);
      } else {
        const std::uint8_t* in_flags = flags + at;
        for (std::int64_t i = 0; i < n; ++i) {
          to[i] = r[i] & (in_flags[i] == 0) & (in_y[i * y_step] != 0);
        }
      }
      to += n;
      gil.progress(n);
    } while (lines.next());
  }

 private:
  const MaskData& x_;
  const MaskData& y_;
  Geometry plane_;
  Geometry y_plane_;
  Padded padded_;
  bool flags_;
  bool byte_labels_;
  bool unsigned_bytes_;
  BoolBandKernel bool_band_;
  LabelBandKernel label_band_;
  std::vector<std::int32_t> x_values_;
  std::vector<std::int32_t> y_values_;
};

// x's flags of the plane q into the inner elements of a padded plane (booleans: a byte is
// set when it is not 0).
void plane_flags(const MaskData& x, const Geometry& plane, const Padded& padded, std::int64_t q,
                 TruthKernel truth, std::uint8_t* out, rt::WithoutGil& gil) {
  const std::int64_t n = plane.last();
  const std::int64_t step = plane.strides[plane.ndim - 1];
  const char* base = x.data + q * x.geometry.strides[0];
  LineWalker<1> lines(plane, {&plane.strides});
  do {
    std::uint8_t* to = out + padded.at(lines.index());
    const char* from = base + lines.offset(0);
    if (x.type.size == 1 && step == 1) {
      truth(to, reinterpret_cast<const std::uint8_t*>(from), n);
    } else {
      load_flags(x.type, from, step, n, to);
    }
    gil.progress(n);
  } while (lines.next());
}

}  // namespace

bool rounds_fit(const Geometry& box, std::int64_t t, std::int64_t whole) {
  return round_planes(box, t) <= room(whole);
}

// The rounds go plane by plane along the first axis, as a wavefront: round r's plane q
// is the largest of round r - 1's planes q - 1, q and q + 1 (and of the neighbours within
// them), so each round keeps only three planes, and all of them stay in the processor's
// caches while the band's planes are written one after the other, each once.
void band_by_rounds(const MaskData& x_in, const MaskData& y_in, std::int64_t t, Isa isa,
                    rt::WithoutGil& gil, const BandPlane& take) {
  const MaskData x = with_two_axes(x_in);
  const MaskData y = with_two_axes(y_in);
  const Geometry& shape = x.geometry;
  const std::int64_t planes = shape.shape[0];
  const Geometry plane = plane_of(shape);
  const Padded padded(plane);
  const auto plane_bytes = static_cast<std::size_t>(padded.size);
  // x's flags (round 0) in a ring of flag_planes(t), each later round's planes but the
  // last's in rings of three; the last round's plane; a plane of zeros. Their padding
  // stays 0: x is copied into inner elements only, and each round clears the padding it
  // wrote.
  const std::int64_t kept = flag_planes(t);
  const auto rings = static_cast<std::size_t>(kept + 3 * (t - 1));
  std::vector<std::uint8_t> memory((rings + 2) * plane_bytes, 0);
  auto ring = [&](std::int64_t r, std::int64_t q) {
    const std::int64_t slot = r == 0 ? q % kept : kept + 3 * (r - 1) + q % 3;
    return memory.data() + static_cast<std::size_t>(slot) * plane_bytes;
  };
  std::uint8_t* top = memory.data() + rings * plane_bytes;
  const std::uint8_t* zeros = top + plane_bytes;
  auto round_plane = [&](std::int64_t r, std::int64_t q) -> const std::uint8_t* {
    return q < 0 || q >= planes ? zeros : ring(r, q);
  };

  const TruthKernel truth = truth_kernel(isa);
  const DilateKernel dilate = dilate_kernel(isa, 2 * (shape.ndim - 1));
  PlaneBand band(x, y, isa);
  Index first{};
  Index last{};
  for (std::size_t k = 0; k < plane.ndim; ++k) last[k] = plane.shape[k] - 1;
  const std::int64_t begin = padded.at(first);
  const std::int64_t end = padded.at(last) + 1;
  std::vector<std::uint8_t> band_plane(static_cast<std::size_t>(plane.size));
  Sides sides{};
  for (std::int64_t p = 0; p < planes + t; ++p) {
    if (p < planes) plane_flags(x, plane, padded, p, truth, ring(0, p), gil);
    for (std::int64_t r = 1; r <= t; ++r) {
      const std::int64_t q = p - r;
      if (q < 0 || q >= planes) continue;
      const std::uint8_t* from = round_plane(r - 1, q);
      std::uint8_t* to = r < t ? ring(r, q) : top;
      sides[0] = round_plane(r - 1, q - 1);
      sides[1] = round_plane(r - 1, q + 1);
      for (std::size_t k = 0; k + 1 < plane.ndim; ++k) {
        sides[2 * k + 2] = from - padded.stride[k];
        sides[2 * k + 3] = from + padded.stride[k];
      }
      for (std::int64_t start = begin; start < end; start += kStretch) {
        const std::int64_t stop = std::min(end, start + kStretch);
        dilate(to, from, sides, start, stop);
        clear_padding(to, padded, start, stop);
        gil.progress(stop - start);
      }
      if (r < t) continue;
      band.write(q, top, ring(0, q), band_plane.data(), gil);
      if (take(q, band_plane.data())) return;
    }
  }
}

}  // namespace orvane::medical::fast
