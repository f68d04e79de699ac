#include "bounds.hpp"

#include <algorithm>
#include <vector>

#include "distance_field.hpp"
#include "shell_line.hpp"

namespace orvane::medical::fast {
namespace {

// Widens `box` (empty while low > high) to hold the set elements [first, last] of the line
// with indices `index`.
void include(Box& box, const Index& index, std::size_t ndim, std::int64_t first,
             std::int64_t last) {
  for (std::size_t k = 0; k + 1 < ndim; ++k) {
    box.low[k] = std::min(box.low[k], index[k]);
    box.high[k] = std::max(box.high[k], index[k]);
  }
  box.low[ndim - 1] = std::min(box.low[ndim - 1], first);
  box.high[ndim - 1] = std::max(box.high[ndim - 1], last);
}

// Whether `size` bytes at p hold a non-zero byte, tested 4 KiB at a time, so that a plane
// with set elements is known by its first ones.
bool has_set(const std::uint8_t* p, std::int64_t size, LineFlagsKernel nonzero_lines) {
  constexpr std::int64_t kChunk = 4096;
  for (std::int64_t at = 0; at < size; at += kChunk) {
    std::uint8_t set = 0;
    nonzero_lines(p + at, std::min(kChunk, size - at), 1, &set);
    if (set != 0) return true;
  }
  return false;
}

// Whether the ORed plane (`lines` lines of n) has a set element in its first and last line
// and in its first and last column: then no other plane can widen the box along the
// plane's own axes.
bool spans_its_plane(const std::uint8_t* ored, std::int64_t n, std::int64_t lines,
                     LineFlagsKernel nonzero_lines) {
  if (!has_set(ored, n, nonzero_lines) || !has_set(ored + (lines - 1) * n, n, nonzero_lines)) {
    return false;
  }
  bool first = false;
  bool last = false;
  for (std::int64_t line = 0; line < lines && !(first && last); ++line) {
    first = first || ored[line * n] != 0;
    last = last || ored[line * n + n - 1] != 0;
  }
  return first && last;
}

// Boolean masks with C-contiguous planes: the planes with a set element are ORed together
// by vector kernels, and the lines and columns of the box are those of the result. Once
// that result spans its plane (a body mask, after a few planes), the other planes are only
// tested for a set element, and a volume's are tested from its end, down to the last that
// holds one (a dense volume's planes are then not read at all).
void box_by_planes(const MaskData& x, Isa isa, Box& box, rt::WithoutGil& gil) {
  const Geometry& shape = x.geometry;
  const std::size_t ndim = shape.ndim;
  const std::int64_t n = shape.last();
  const std::int64_t plane = plane_size(shape);
  const OrIntoKernel or_into = or_into_kernel(isa);
  const LineFlagsKernel nonzero_lines = nonzero_lines_kernel(isa);
  // A mask of one plane (one or two axes) is its own OR.
  const bool one_plane = ndim <= 2;
  std::vector<std::uint8_t> all(one_plane ? 0 : static_cast<std::size_t>(plane), 0);
  const std::uint8_t* ored = one_plane ? reinterpret_cast<const std::uint8_t*>(x.data) : all.data();
  const Geometry planes = plane_geometry(shape);
  LineWalker<1> walker(planes, {&planes.strides});
  bool any = one_plane;
  bool spanned = false;
  auto include_plane = [&](const Index& index) {
    for (std::size_t k = 0; k + 2 < ndim; ++k) {
      box.low[k] = std::min(box.low[k], index[k]);
      box.high[k] = std::max(box.high[k], index[k]);
    }
  };
  while (!one_plane) {
    const auto* from = reinterpret_cast<const std::uint8_t*>(x.data + walker.offset(0));
    // Tested first: most planes of a large volume are often empty.
    if (has_set(from, plane, nonzero_lines)) {
      any = true;
      include_plane(walker.index());
      if (!spanned) {
        or_into(all.data(), from, plane);
        spanned = spans_its_plane(all.data(), n, plane / n, nonzero_lines);
      }
    }
    gil.progress(plane);
    if (!walker.next()) break;
    if (spanned && ndim == 3) {
      // The last plane with a set element, from the volume's end; those before it cannot
      // widen the box.
      const std::int64_t at = walker.index()[0];
      for (std::int64_t q = shape.shape[0] - 1; q >= at; --q) {
        const auto* last = reinterpret_cast<const std::uint8_t*>(x.data + q * shape.strides[0]);
        gil.progress(plane);
        if (!has_set(last, plane, nonzero_lines)) continue;
        box.high[0] = std::max(box.high[0], q);
        break;
      }
      break;
    }
  }
  if (!any) return;
  // The lines of the ORed plane, then its columns.
  std::vector<std::uint8_t> columns(static_cast<std::size_t>(n), 0);
  for (std::int64_t line = 0; line < plane / n; ++line) {
    const bool set = or_into(columns.data(), ored + line * n, n);
    if (one_plane) gil.progress(n);
    if (!set) continue;
    if (ndim > 1) {
      box.low[ndim - 2] = std::min(box.low[ndim - 2], line);
      box.high[ndim - 2] = std::max(box.high[ndim - 2], line);
    }
  }
  std::int64_t first = 0;
  while (first < n && columns[static_cast<std::size_t>(first)] == 0) ++first;
  if (first == n) return;  // a plane with no set element
  std::int64_t last = n - 1;
  while (columns[static_cast<std::size_t>(last)] == 0) --last;
  box.low[ndim - 1] = first;
  box.high[ndim - 1] = last;
}

void box_by_lines(const MaskData& x, Box& box, rt::WithoutGil& gil) {
  const Geometry& shape = x.geometry;
  const std::int64_t n = shape.last();
  const std::int64_t step = shape.strides[shape.ndim - 1];
  LineWalker<1> walker(shape, {&shape.strides});
  std::uint8_t flags[kRowChunk];
  do {
    std::int64_t first = -1;
    std::int64_t last = -1;
    for (std::int64_t start = 0; start < n; start += kRowChunk) {
      const std::int64_t count = std::min(kRowChunk, n - start);
      load_flags(x.type, x.data + walker.offset(0) + start * step, step, count, flags);
      for (std::int64_t i = 0; i < count; ++i) {
        if (flags[i] == 0) continue;
        if (first < 0) first = start + i;
        last = start + i;
      }
      gil.progress(count);
    }
    if (first >= 0) include(box, walker.index(), shape.ndim, first, last);
  } while (walker.next());
}

}  // namespace

std::optional<Box> bounding_box(const MaskData& x, Isa isa, rt::WithoutGil& gil) {
  const Geometry& shape = x.geometry;
  Box box;
  for (std::size_t k = 0; k < shape.ndim; ++k) {
    box.low[k] = shape.shape[k];
    box.high[k] = -1;
  }
  if (shape.size == 0) return std::nullopt;
  // The box is the same whatever the order of the axes: it is found in x's memory order
  // (a view in another order, such as a series' short last axis moved out of the line,
  // still has its planes contiguous there), then put back in x's order.
  const AxisOrder order = memory_order(shape);
  const MaskData in_memory = reordered(x, order);
  Box found = box;
  for (std::size_t k = 0; k < shape.ndim; ++k) {
    found.low[k] = box.low[order[k]];
    found.high[k] = box.high[order[k]];
  }
  if (shell_by_planes_applies(in_memory)) {
    box_by_planes(in_memory, isa, found, gil);
  } else {
    box_by_lines(in_memory, found, gil);
  }
  for (std::size_t k = 0; k < shape.ndim; ++k) {
    box.low[order[k]] = found.low[k];
    box.high[order[k]] = found.high[k];
  }
  if (box.high[0] < 0) return std::nullopt;
  return box;
}

Box widened(const Box& box, std::int64_t margin, const Geometry& shape) {
  Box wide = box;
  for (std::size_t k = 0; k < shape.ndim; ++k) {
    wide.low[k] = box.low[k] - std::min(margin, box.low[k]);
    wide.high[k] = box.high[k] + std::min(margin, shape.shape[k] - 1 - box.high[k]);
  }
  return wide;
}

MaskData restricted(const MaskData& x, const Box& box) {
  MaskData view = x;
  view.geometry.size = 1;
  for (std::size_t k = 0; k < x.geometry.ndim; ++k) {
    view.data += box.low[k] * x.geometry.strides[k];
    view.geometry.shape[k] = box.high[k] - box.low[k] + 1;
    view.geometry.size *= view.geometry.shape[k];
  }
  return view;
}

}  // namespace orvane::medical::fast
