#include "shell_across.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "across.hpp"
#include "shell_line.hpp"

namespace orvane::medical::fast {
namespace {

// The shell of a 2-D mask stored in Fortran order (contiguous columns): its columns are
// the lines of one plane in memory order, worked out up to 64 at a time into a buffer and
// written across into the C-ordered result.
bool shell_across_columns(const MaskData& x, std::uint8_t* out, Isa isa, rt::WithoutGil& gil) {
  const Geometry& shape = x.geometry;
  const std::int64_t n = shape.shape[0];        // elements of a column
  const std::int64_t columns = shape.shape[1];  // the result's last axis
  if (shape.strides[0] != 1 || shape.strides[1] != n || n < 2 || columns < 2) return false;
  const std::int64_t room = std::max<std::int64_t>(shape.size / 4, std::int64_t{1} << 20);
  const std::int64_t group = std::min(kAcross, columns);
  if (group * n > room) return false;
  std::memset(out, 0, static_cast<std::size_t>(shape.size));
  gil.progress(shape.size / 8);
  const ShellLineKernel kernel = shell_line_kernel(isa, 2, x.type.kind != ElementKind::Bool);
  const std::int64_t pitch = plane_pitch(n);
  std::vector<std::uint8_t> pending(static_cast<std::size_t>(group * pitch));
  const auto* from = reinterpret_cast<const std::uint8_t*>(x.data);
  for (std::int64_t first = 0; first < columns; first += group) {
    const std::int64_t count = std::min(group, columns - first);
    for (std::int64_t s = 0; s < count; ++s) {
      const std::int64_t column = first + s;
      const std::uint8_t* line = from + column * n;
      std::uint8_t* to = pending.data() + s * pitch;
      // The first and last columns, and each column's ends, are on the array's border.
      if (column == 0 || column + 1 == columns) {
        for (std::int64_t i = 0; i < n; ++i) to[i] = line[i] != 0;
      } else {
        Sides sides{};
        sides[0] = line - n;
        sides[1] = line + n;
        kernel(to, line, sides, 1, n - 1);
        to[0] = line[0] != 0;
        to[n - 1] = line[n - 1] != 0;
      }
    }
    write_across(pending.data(), pitch, count, 1, n, out + first, 0, columns,
                 shape.size > kCachedBytes, true);
    gil.progress(count * n);
  }
  return true;
}

}  // namespace

bool shell_across_planes(const MaskData& x, std::uint8_t* out, Isa isa, rt::WithoutGil& gil) {
  const Geometry& shape = x.geometry;
  const std::size_t ndim = shape.ndim;
  if (ndim == 2 && shell_by_planes_applies(reordered(x, memory_order(shape)))) {
    return shell_across_columns(x, out, isa, gil);
  }
  if (ndim < 3) return false;
  // The shell is the same in any order of the axes. Taken here: the other axes in memory
  // order, then the result's last axis, then x's two innermost axes as planes. Consecutive
  // planes then go to consecutive bytes of the result.
  const AxisOrder memory = memory_order(shape);
  const std::size_t inner = memory[ndim - 1];
  const std::size_t row = memory[ndim - 2];
  const std::size_t last = ndim - 1;
  if (last == inner || last == row) return false;
  AxisOrder frame{};
  std::size_t position = 0;
  for (std::size_t k = 0; k < ndim; ++k) {
    if (memory[k] != last && memory[k] != row && memory[k] != inner) frame[position++] = memory[k];
  }
  frame[position++] = last;
  frame[position++] = row;
  frame[position] = inner;
  const MaskData planes_of_x = reordered(x, frame);
  if (!shell_by_planes_applies(planes_of_x)) return false;
  const Geometry& planes = planes_of_x.geometry;  // the frame's axes: x's planes last
  const std::int64_t lines = shape.shape[row];
  const std::int64_t n = shape.shape[inner];
  const std::int64_t plane = lines * n;
  Index to_strides{};  // the result's, in bytes
  std::int64_t stride = 1;
  for (std::size_t k = ndim; k-- > 0;) {
    to_strides[k] = stride;
    stride *= shape.shape[k];
  }
  // Consecutive planes go to consecutive bytes of the result along its last axis, and on
  // across the axes before it in the frame that the result holds just outside it (a
  // series' few time points, then its slices): `along` planes in a row, the frame's first
  // `outer` axes setting where they start.
  std::int64_t along = shape.shape[last];
  std::size_t outer = ndim - 3;
  while (outer > 0 && to_strides[frame[outer - 1]] == along) {
    along *= shape.shape[frame[outer - 1]];
    --outer;
  }
  // 64 planes in flight where that allows (whole cache lines of the result at once), else
  // 32 or 16, or a short line's all; each a band of its lines, the same for all, so that
  // the bands in flight stay in the processor's own cache between their shell and their
  // transposition (whole planes of a volume did not: 16 MiB for 64 planes of 512 x 512).
  // At most a quarter of the result's memory (or 1 MiB) either way.
  constexpr std::int64_t kBandsBytes = std::int64_t{256} << 10;
  const std::int64_t room = std::max<std::int64_t>(shape.size / 4, std::int64_t{1} << 20);
  std::int64_t group = std::min(kAcross, along);
  while (group > 16 && group * n > room) group /= 2;
  if (group * n > room) return false;
  const std::int64_t band_lines = std::clamp<std::int64_t>(kBandsBytes / (group * n), 1, lines);

  // A shell is thin: the result is zeroed in one sequential pass, and only the blocks that
  // hold an element of the shell are written across it.
  std::memset(out, 0, static_cast<std::size_t>(shape.size));
  gil.progress(shape.size / 8);
  BandShell bands(planes_of_x, isa, EmptyLines::Zeroed, band_lines, gil);
  const std::int64_t pitch = plane_pitch(band_lines * n);
  std::vector<std::uint8_t> pending(static_cast<std::size_t>(group * pitch));
  auto none = [](const Index&, std::int64_t, const std::uint8_t*, std::int64_t, std::int64_t) {};
  // Where plane `number` (in the frame's C order) starts, its indices along the frame's
  // other axes into `index`.
  auto plane_at = [&](std::int64_t number, Index& index) {
    std::int64_t offset = 0;
    for (std::size_t k = ndim - 2; k-- > 0;) {
      index[k] = number % planes.shape[k];
      number /= planes.shape[k];
      offset += index[k] * planes.strides[k];
    }
    return reinterpret_cast<const std::uint8_t*>(planes_of_x.data + offset);
  };
  const std::int64_t planes_count = shape.size / plane;
  for (std::int64_t run = 0; run < planes_count; run += along) {
    // Where the run's planes go is set by its indices along the outer axes.
    std::int64_t rest = run / along;
    std::int64_t base = 0;
    for (std::size_t k = outer; k-- > 0;) {
      const std::size_t axis = frame[k];
      base += rest % shape.shape[axis] * to_strides[axis];
      rest /= shape.shape[axis];
    }
    for (std::int64_t first = 0; first < along; first += group) {
      const std::int64_t count = std::min(group, along - first);
      for (std::int64_t origin = 0; origin < lines; origin += band_lines) {
        const std::int64_t rows = std::min(band_lines, lines - origin);
        for (std::int64_t s = 0; s < count; ++s) {
          Index index{};
          Index next{};
          const std::uint8_t* from = plane_at(run + first + s, index);
          // The next plane's band is fetched meanwhile.
          const std::uintptr_t ahead =
              s + 1 < count
                  ? reinterpret_cast<std::uintptr_t>(plane_at(run + first + s + 1, next)) +
                        static_cast<std::uintptr_t>(origin * n)
                  : 0;
          bands.shell(index, from, origin, rows, pending.data() + s * pitch, ahead, none);
        }
        write_across(pending.data(), pitch, count, rows, n,
                     out + base + first + origin * to_strides[row], to_strides[row],
                     to_strides[inner], shape.size > kCachedBytes, true);
        gil.progress(count * rows * n);
      }
    }
  }
  return true;
}

}  // namespace orvane::medical::fast
