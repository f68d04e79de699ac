#include "band_rounds.hpp"

#include <algorithm>
#include <vector>

#include "bounds.hpp"
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

// Sets the padding of `buffer` to 0: the lines whose indices along the other axes are not
// all inner, and both ends of the others.
void clear_padding(std::uint8_t* buffer, const Padded& padded) {
  const std::int64_t n = padded.extent[padded.ndim - 1];
  Geometry lines;
  lines.ndim = padded.ndim;
  lines.shape = padded.extent;
  lines.strides = padded.stride;
  LineWalker<1> walker(lines, {&lines.strides});
  do {
    std::uint8_t* line = buffer + walker.offset(0);
    bool inner = true;
    for (std::size_t k = 0; k + 1 < padded.ndim; ++k) {
      const std::int64_t i = walker.index()[k];
      inner = inner && i > 0 && i + 1 < padded.extent[k];
    }
    if (inner) {
      line[0] = 0;
      line[n - 1] = 0;
    } else {
      std::fill_n(line, n, 0);
    }
  } while (walker.next());
}

// Bytes of the two padded copies that the caches hold while the rounds run.
constexpr double kCachedCopies = 8 << 20;

// The memory that the two padded copies may take: a quarter of the mask (or 1 MiB).
double room(std::int64_t whole) {
  return std::max(static_cast<double>(whole) / 4, double{1 << 20});
}

// Elements of one padded plane (an index along the first axis).
double padded_plane(const Geometry& box) {
  double plane = 1;
  for (std::size_t k = 1; k < box.ndim; ++k) plane *= static_cast<double>(box.shape[k] + 2);
  return plane;
}

// The planes (along the first axis) of the band worked out at once: all of them while the
// two padded copies fit `budget` bytes, else as many as fit with the t planes on either
// side that their rounds read.
std::int64_t planes_at_once(const Geometry& box, std::int64_t t, double budget) {
  const double fit = budget / (2 * padded_plane(box)) - 2;
  if (fit >= static_cast<double>(box.shape[0])) return box.shape[0];
  return static_cast<std::int64_t>(fit) - 2 * t;
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

// The padded copies, kept from one slab to the next.
struct Copies {
  std::vector<std::uint8_t> front;
  std::vector<std::uint8_t> back;
};

// The band of the planes [kept_from, kept_to) of x (along the first axis) into `set`, with
// the rounds run over all of x's planes.
void band_of_slab(const MaskData& x, const MaskData& y, std::int64_t t, std::uint8_t* set,
                  std::int64_t kept_from, std::int64_t kept_to, Copies& copies, Isa isa,
                  rt::WithoutGil& gil);

}  // namespace

bool rounds_fit(const Geometry& box, std::int64_t whole) {
  return box.ndim > 1 ? planes_at_once(box, kMostRounds, room(whole)) >= 1
                      : 2 * (static_cast<double>(box.shape[0]) + 2) <= room(whole);
}

void band_by_rounds(const MaskData& x, const MaskData& y, std::int64_t t, std::int64_t whole,
                    std::uint8_t* set, Isa isa, rt::WithoutGil& gil, const PlanesWritten& written) {
  const Geometry& shape = x.geometry;
  // Slabs whose copies stay in the processor's caches while their rounds run, unless
  // that leaves fewer planes to a slab than its rounds read beside it.
  std::int64_t at_once = 0;
  if (shape.ndim > 1) {
    const std::int64_t cached = planes_at_once(shape, t, std::min(room(whole), kCachedCopies));
    at_once = cached >= 2 * t ? cached : planes_at_once(shape, t, room(whole));
    at_once = std::max<std::int64_t>(1, at_once);
  }
  Copies copies;
  if (shape.ndim == 1 || at_once >= shape.shape[0]) {
    return band_of_slab(x, y, t, set, 0, shape.shape[0], copies, isa, gil);
  }
  // Slab by slab along the first axis: each slab's rounds run over it and the t planes on
  // either side (a round reaches one plane further), and only the slab's own planes, which
  // no plane beyond those reaches, are written.
  const std::int64_t plane = shape.size / shape.shape[0];
  for (std::int64_t first = 0; first < shape.shape[0]; first += at_once) {
    const std::int64_t last = std::min(shape.shape[0], first + at_once);  // one past
    Box slab;
    for (std::size_t k = 0; k < shape.ndim; ++k) slab.high[k] = shape.shape[k] - 1;
    slab.low[0] = std::max<std::int64_t>(0, first - t);
    slab.high[0] = std::min(shape.shape[0], last + t) - 1;
    band_of_slab(restricted(x, slab), restricted(y, slab), t, set + first * plane,
                 first - slab.low[0], last - slab.low[0], copies, isa, gil);
    if (written && written(last)) return;
  }
}

namespace {

void band_of_slab(const MaskData& x, const MaskData& y, std::int64_t t, std::uint8_t* set,
                  std::int64_t kept_from, std::int64_t kept_to, Copies& copies, Isa isa,
                  rt::WithoutGil& gil) {
  const Geometry& shape = x.geometry;
  const std::size_t ndim = shape.ndim;
  const std::int64_t n = shape.last();
  const Padded padded(shape);
  // Zeroed anew (the padding outside the rounds' stretch stays 0), in memory kept from the
  // last slab: no new pages to fault in.
  std::vector<std::uint8_t>& front = copies.front;
  std::vector<std::uint8_t>& back = copies.back;
  front.assign(static_cast<std::size_t>(padded.size), 0);
  back.assign(static_cast<std::size_t>(padded.size), 0);
  const std::int64_t x_step = x.geometry.strides[ndim - 1];
  const std::int64_t y_step = y.geometry.strides[ndim - 1];

  // x's flags into the inside of `front` (booleans: a byte is set when it is not 0).
  LineWalker<2> lines(shape, {&x.geometry.strides, &y.geometry.strides});
  do {
    std::uint8_t* to = front.data() + padded.at(lines.index());
    const char* from = x.data + lines.offset(0);
    if (x.type.size != 1) {
      load_flags(x.type, from, x_step, n, to);
    } else if (x_step == 1) {  // a loop the compiler vectorises
      for (std::int64_t i = 0; i < n; ++i) to[i] = from[i] != 0;
    } else {
      for (std::int64_t i = 0; i < n; ++i) to[i] = from[i * x_step] != 0;
    }
    gil.progress(n);
  } while (lines.next());

  // Each round: every inner element takes the largest of itself and its face neighbours,
  // in one stretch from the first inner element to the last (the padding in between is
  // overwritten, then set to 0 again, so nothing passes from one line to the next).
  const DilateKernel dilate = dilate_kernel(isa, 2 * (ndim - 1));
  Index first{};
  Index last{};
  for (std::size_t k = 0; k < ndim; ++k) last[k] = shape.shape[k] - 1;
  const std::int64_t begin = padded.at(first);
  const std::int64_t end = padded.at(last) + 1;
  Sides sides{};
  for (std::int64_t round = 0; round < t; ++round) {
    const std::uint8_t* from = front.data();
    for (std::size_t k = 0; k + 1 < ndim; ++k) {
      sides[2 * k] = from - padded.stride[k];
      sides[2 * k + 1] = from + padded.stride[k];
    }
    for (std::int64_t start = begin; start < end; start += kStretch) {
      const std::int64_t stop = std::min(end, start + kStretch);
      dilate(back.data(), from, sides, start, stop);
      gil.progress(stop - start);
    }
    clear_padding(back.data(), padded);
    std::swap(front, back);
  }

  // The band: reached.astype(int) - x.astype(int) + y.astype(int) == 2; for booleans,
  // reached, not in x, and in y.
  const bool flags = x.type.kind == ElementKind::Bool && y.type.kind == ElementKind::Bool;
  // Label maps of bytes (uint8 or int8, as a segmenter gives them) are read as they are, in
  // one loop, rather than widened into buffers first.
  const bool byte_labels = !flags && label_bytes(x.type) && label_bytes(y.type);
  std::vector<std::int32_t> x_values(flags || byte_labels ? 0 : static_cast<std::size_t>(n));
  std::vector<std::int32_t> y_values(x_values.size());
  std::uint8_t* to = set;
  LineWalker<2> again(shape, {&x.geometry.strides, &y.geometry.strides});
  do {
    if (ndim > 1 && (again.index()[0] < kept_from || again.index()[0] >= kept_to)) continue;
    const std::uint8_t* reached = front.data() + padded.at(again.index());
    const char* in_x = x.data + again.offset(0);
    const char* in_y = y.data + again.offset(1);
    if (byte_labels) {
      byte_label_band(reached, x.type, in_x, x_step, y.type, in_y, y_step, n, to);
    } else if (!flags) {
      load_small_values(x.type, in_x, x_step, n, x_values.data());
      load_small_values(y.type, in_y, y_step, n, y_values.data());
      for (std::int64_t i = 0; i < n; ++i) {
        const auto k = static_cast<std::size_t>(i);
        to[i] = reached[i] - x_values[k] + y_values[k] == 2;
      }
    } else if (x_step == 1 && y_step == 1) {
      for (std::int64_t i = 0; i < n; ++i) to[i] = reached[i] & (in_x[i] == 0) & (in_y[i] != 0);
    } else {
      for (std::int64_t i = 0; i < n; ++i) {
        to[i] = reached[i] & (in_x[i * x_step] == 0) & (in_y[i * y_step] != 0);
      }
    }
    to += n;
    gil.progress(n);
  } while (again.next());
}

}  // namespace
}  // namespace orvane::medical::fast
