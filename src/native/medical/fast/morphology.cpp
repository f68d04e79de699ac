// The shell of a mask and the crossing test, with the rounds of erosion or dilation done
// at once by clipped distances (distance_field.hpp).
//
// _to_shell: x.astype(int) - eroded.astype(int) is non-zero where x's int64 value differs
// from the erosion's 0 or 1; with no round the difference is 0 everywhere. Its result is
// C-ordered, like the erosion's output that it is computed from.
// _is_cross: the band is where dilated - x.astype(int) + y.astype(int) == 2 (int64, wrapping
// as numpy's arithmetic); with no round `dilated` is x's own copy, which leaves y == 2.
// Its pieces are counted as scipy's label counts them, and the answer is that count != 1.
#include <limits>
#include <utility>
#include <vector>

#include "across.hpp"
#include "band_rounds.hpp"
#include "bounds.hpp"
#include "distance_field.hpp"
#include "fast_paths.hpp"
#include "gate.hpp"
#include "pieces.hpp"
#include "shell_across.hpp"
#include "shell_line.hpp"

namespace orvane::medical::fast {
namespace {

using rt::Ref;

const char* line_start(const MaskData& mask, const Index& index) {
  const char* p = mask.data;
  for (std::size_t k = 0; k + 1 < mask.geometry.ndim; ++k) p += index[k] * mask.geometry.strides[k];
  return p;
}

std::int64_t last_stride(const MaskData& mask) {
  return mask.geometry.strides[mask.geometry.ndim - 1];
}

// Calls chunk(index, start, count) over the elements of every line, in C order.
template <class Chunk>
void for_each_chunk(const Geometry& shape, rt::WithoutGil& gil, Chunk&& chunk) {
  const std::array<const Index*, 1> strides{&shape.strides};
  LineWalker<1> lines(shape, strides);
  const std::int64_t n = shape.last();
  do {
    for (std::int64_t start = 0; start < n; start += kRowChunk) {
      const std::int64_t count = std::min(kRowChunk, n - start);
      chunk(lines.index(), start, count);
      gil.progress(count);
    }
  } while (lines.next());
}

// Flags (0/1) of x's elements [start, start + count) on the line `index`.
void flags_at(const MaskData& x, const Index& index, std::int64_t start, std::int64_t count,
              std::uint8_t* out) {
  const std::int64_t step = last_stride(x);
  load_flags(x.type, line_start(x, index) + start * step, step, count, out);
}

void values_at(const MaskData& x, const Index& index, std::int64_t start, std::int64_t count,
               std::int64_t* out) {
  const std::int64_t step = last_stride(x);
  load_values(x.type, line_start(x, index) + start * step, step, count, out);
}

// Elements of one index along the first axis (all of them for one axis).
std::int64_t slab_size(const Geometry& shape) {
  return shape.ndim == 1 ? shape.size : shape.size / shape.shape[0];
}

// The largest distance to the background any element can have: a box's centre is
// ceil(n/2) steps from the outside along an axis of extent n.
std::int64_t deepest(const Geometry& shape) {
  std::int64_t depth = std::numeric_limits<std::int64_t>::max();
  for (std::size_t k = 0; k < shape.ndim; ++k) depth = std::min(depth, (shape.shape[k] + 1) / 2);
  return depth;
}

// The largest distance between two elements.
std::int64_t widest(const Geometry& shape) {
  std::int64_t width = 0;
  for (std::size_t k = 0; k < shape.ndim; ++k) width += shape.shape[k] - 1;
  return width;
}

enum class Rounds { Erosion, Dilation };

// Distances clipped at t + 1 in `distances`: erosion, from x's background and the outside;
// dilation, from x's mask elements. Handed slab by slab to finish(first, slab).
template <class Dist, class Finish>
void clipped_distances(const MaskData& x, Dist* distances, std::int64_t t, Rounds kind,
                       Finish&& finish, rt::WithoutGil& gil) {
  DistanceField<Dist> field(distances, x.geometry, t, kind == Rounds::Erosion);
  const Dist top = field.top();
  const Dist on_mask = kind == Rounds::Dilation ? Dist{0} : top;
  const Dist off_mask = kind == Rounds::Dilation ? top : Dist{0};
  field.run(
      [&](const Index& index, std::int64_t start, std::int64_t count, Dist* out) {
        std::uint8_t flags[kRowChunk];
        flags_at(x, index, start, count, flags);
        const Dist set = on_mask;  // locals: stores through `out` cannot change them
        const Dist clear = off_mask;
        for (std::int64_t i = 0; i < count; ++i) out[i] = flags[i] ? set : clear;
      },
      std::forward<Finish>(finish), gil);
}

// Calls chunk(index, offset, start, count) for the rows of the slab `first` in chunks:
// `index` holds the row's indices, `offset` is the chunk's position in the slab.
template <class Chunk>
void for_each_slab_chunk(const Geometry& shape, std::int64_t first, Chunk&& chunk) {
  const std::int64_t n = shape.last();
  const std::int64_t rows = slab_size(shape) / n;
  Index index{};
  index[0] = first;
  for (std::int64_t r = 0; r < rows; ++r) {
    if (shape.ndim > 1) {
      std::int64_t rest = r;
      for (std::size_t k = shape.ndim - 1; k-- > 1;) {
        index[k] = rest % shape.shape[k];
        rest /= shape.shape[k];
      }
    }
    for (std::int64_t start = 0; start < n; start += kRowChunk) {
      chunk(index, r * n + start, start, std::min(kRowChunk, n - start));
    }
  }
}

// The shell into `out` (C-ordered, of x's shape), for 0 < t < deepest(x).
template <class Dist>
void shell_by_distances(const MaskData& x, std::int64_t t, std::uint8_t* out, Dist* distances,
                        rt::WithoutGil& gil) {
  const Geometry& shape = x.geometry;
  const std::int64_t slab = slab_size(shape);
  const bool bytes = x.type.kind == ElementKind::Bool;
  const auto deep = static_cast<Dist>(t);  // survives: distance above t
  auto finish = [&](std::int64_t first, const Dist* d) {
    for_each_slab_chunk(
        shape, first,
        [&](const Index& index, std::int64_t offset, std::int64_t start, std::int64_t count) {
          const Dist* here = d + offset;
          std::uint8_t* to = out + first * slab + offset;  // may be `here` itself
          const Dist limit = deep;  // a local: stores through `to` cannot change it
          if (bytes) {
            // Value 1 on the mask, whose elements are the ones at a distance of 1 or more: the
            // shell is the mask less what survives.
            for (std::int64_t i = 0; i < count; ++i) to[i] = here[i] != 0 && here[i] <= limit;
            return;
          }
          std::int64_t values[kRowChunk];
          values_at(x, index, start, count, values);
          for (std::int64_t i = 0; i < count; ++i) to[i] = values[i] != (here[i] > limit ? 1 : 0);
        });
  };
  clipped_distances<Dist>(x, distances, t, Rounds::Erosion, finish, gil);
}

void shell(const MaskData& x, std::int64_t t, std::uint8_t* out, Isa isa, rt::WithoutGil& gil) {
  const Geometry& shape = x.geometry;
  if (t == 0) {  // x.astype(int) - x.copy().astype(int)
    std::fill_n(out, shape.size, 0);
    return;
  }
  if (t >= deepest(shape)) {  // nothing survives: where x's value is not 0
    for_each_chunk(shape, gil, [&](const Index& index, std::int64_t start, std::int64_t count) {
      std::int64_t row = 0;
      for (std::size_t k = 0; k + 1 < shape.ndim; ++k) row = row * shape.shape[k] + index[k];
      flags_at(x, index, start, count, out + row * shape.last() + start);
    });
    return;
  }
  if (t == 1 && shell_by_planes_applies(x)) {
    const std::int64_t plane = plane_size(shape);
    return shell_by_planes(
        x, isa, EmptyLines::Zeroed, [&](std::int64_t number) { return out + number * plane; },
        [](const Index&, std::int64_t, const std::uint8_t*, std::int64_t, std::int64_t) {}, gil);
  }
  if (t == 1 && shell_across_planes(x, out, isa, gil)) return;
  // Distances up to t + 1 fit in the result's own bytes while t < 254.
  if (t < 254) return shell_by_distances<std::uint8_t>(x, t, out, out, gil);
  if (t < 65534) {
    std::vector<std::uint16_t> distances(static_cast<std::size_t>(shape.size));
    return shell_by_distances<std::uint16_t>(x, t, out, distances.data(), gil);
  }
  std::vector<std::uint32_t> distances(static_cast<std::size_t>(shape.size));
  shell_by_distances<std::uint32_t>(x, t, out, distances.data(), gil);
}

// The band's elements in y for the slab `first`, 0 or 1, into `band` (C-ordered), with
// reached(index, offset, start, count, grown, outside_x): per element of a chunk (as
// for_each_slab_chunk has it), the dilation's value (0 or 1) and whether x is 0 there.
template <class Reached>
void band_in_y(const MaskData& x, const MaskData& y, std::uint8_t* band, std::int64_t first,
               Reached&& reached) {
  const std::int64_t slab = slab_size(x.geometry);
  const bool bytes = x.type.kind == ElementKind::Bool && y.type.kind == ElementKind::Bool;
  for_each_slab_chunk(
      x.geometry, first,
      [&](const Index& index, std::int64_t offset, std::int64_t start, std::int64_t count) {
        std::uint8_t grown[kRowChunk];
        std::uint8_t outside_x[kRowChunk];
        reached(index, offset, start, count, grown, outside_x);
        std::uint8_t* to = band + first * slab + offset;
        if (bytes) {  // values 0 and 1: reached, not in x, in y
          std::uint8_t ys[kRowChunk];
          flags_at(y, index, start, count, ys);
          for (std::int64_t i = 0; i < count; ++i) to[i] = grown[i] & outside_x[i] & ys[i];
          return;
        }
        std::int64_t xs[kRowChunk];
        std::int64_t ys[kRowChunk];
        values_at(x, index, start, count, xs);
        values_at(y, index, start, count, ys);
        for (std::int64_t i = 0; i < count; ++i) {
          const std::uint64_t sum = std::uint64_t{grown[i]} - static_cast<std::uint64_t>(xs[i]) +
                                    static_cast<std::uint64_t>(ys[i]);
          to[i] = sum == 2;
        }
      });
}

// Where y's value is 2, 0 or 1 per element, for the slabs [first, last), into `out` (which
// receives slab `first` first): the band with no round (the dilation is x's copy, and
// x - x is 0).
void twos(const MaskData& y, std::uint8_t* out, std::int64_t first, std::int64_t last, Isa isa,
          rt::WithoutGil& gil) {
  const Geometry& shape = y.geometry;
  const std::int64_t slab = slab_size(shape);
  const bool labels = y.type.kind != ElementKind::Bool;  // a boolean is never 2
  if (y.type.size == 1 && shape.c_contiguous()) {        // the byte's value, either sign
    const auto* from = reinterpret_cast<const std::uint8_t*>(y.data);
    const TwosKernel kernel = twos_kernel(isa);
    const std::int64_t offset = first * slab;  // of `out`'s first element in the array
    for (std::int64_t start = offset; start < last * slab; start += kStretch) {
      const std::int64_t stop = std::min(last * slab, start + kStretch);
      std::uint8_t* to = out + (start - offset);
      if (labels) {
        kernel(to, from + start, stop - start);
      } else {
        std::fill(to, to + (stop - start), 0);
      }
      gil.progress(stop - start);
    }
    return;
  }
  const std::size_t nd = shape.ndim;
  if (labels && y.type.size == 1 && nd > 2 && shape.strides[nd - 2] == 1 &&
      shape.strides[nd - 1] == shape.shape[nd - 2]) {
    // The last two axes swapped in memory (a series' short axis of time points moved out of
    // the line): each block of them is tested in memory order, then transposed.
    const std::int64_t m = shape.shape[nd - 2];
    const std::int64_t n = shape.last();
    const std::int64_t rows = std::max<std::int64_t>(16, 4096 / m / 16 * 16);  // of y's block
    std::vector<std::uint8_t> tested(static_cast<std::size_t>(rows * m));
    const TwosKernel kernel = twos_kernel(isa);
    // The blocks of a slab: a walk over the axes between the first and the last two.
    Geometry blocks;
    blocks.ndim = nd - 2;
    for (std::size_t k = 0; k < blocks.ndim; ++k) {
      blocks.shape[k] = shape.shape[k + 1];
      blocks.strides[k] = shape.strides[k + 1];
    }
    blocks.shape[blocks.ndim - 1] = 1;
    for (std::int64_t plane = first; plane < last; ++plane) {
      const char* base = y.data + plane * shape.strides[0];
      std::uint8_t* to = out + (plane - first) * slab;
      LineWalker<1> walker(blocks, {&blocks.strides});
      do {
        const auto* block = reinterpret_cast<const std::uint8_t*>(base + walker.offset(0));
        for (std::int64_t b0 = 0; b0 < n; b0 += rows) {
          const std::int64_t count = std::min(rows, n - b0);
          kernel(tested.data(), block + b0 * m, count * m);
          transpose_bytes(tested.data(), count, m, to + b0, n);
        }
        to += m * n;
      } while (walker.next());
      gil.progress(slab);
    }
    return;
  }
  for (std::int64_t plane = first; plane < last; ++plane) {
    for_each_slab_chunk(
        shape, plane,
        [&](const Index& index, std::int64_t offset, std::int64_t start, std::int64_t count) {
          std::uint8_t* to = out + (plane - first) * slab + offset;
          if (y.type.size == 1) {
            const auto* from = reinterpret_cast<const std::uint8_t*>(line_start(y, index));
            const std::int64_t step = last_stride(y);
            for (std::int64_t i = 0; i < count; ++i)
              to[i] = labels && from[(start + i) * step] == 2;
            return;
          }
          std::int64_t ys[kRowChunk];
          values_at(y, index, start, count, ys);
          for (std::int64_t i = 0; i < count; ++i) to[i] = ys[i] == 2;
        });
    gil.progress(slab);
  }
}

// The band of t dilations of x that lies in y, 0 or 1 per element, into `set`.
void band(const MaskData& x, const MaskData& y, std::int64_t t, std::uint8_t* set, Isa isa,
          rt::WithoutGil& gil) {
  const Geometry& shape = x.geometry;
  const std::int64_t slab = slab_size(shape);
  const std::int64_t slabs = shape.size / slab;
  if (t == 0) return twos(y, set, 0, slabs, isa, gil);
  if (t >= widest(shape)) {  // every element is reached when x has any element
    bool any = false;
    for_each_chunk(shape, gil, [&](const Index& index, std::int64_t start, std::int64_t count) {
      if (any) return;
      std::uint8_t flags[kRowChunk];
      flags_at(x, index, start, count, flags);
      for (std::int64_t i = 0; i < count; ++i) any = any || flags[i] != 0;
    });
    for (std::int64_t first = 0; first < slabs; ++first) {
      band_in_y(x, y, set, first,
                [&](const Index& index, std::int64_t, std::int64_t start, std::int64_t count,
                    std::uint8_t* grown, std::uint8_t* outside_x) {
                  std::fill_n(grown, count, any ? 1 : 0);
                  flags_at(x, index, start, count, outside_x);
                  for (std::int64_t i = 0; i < count; ++i) outside_x[i] ^= 1;
                });
      gil.progress(slab);
    }
    return;
  }
  auto compute = [&]<class Dist>(Dist* distances) {
    const auto near = static_cast<Dist>(t);  // reached: distance at most t
    auto finish = [&](std::int64_t first, const Dist* d) {
      band_in_y(x, y, set, first,
                [&](const Index&, std::int64_t offset, std::int64_t, std::int64_t count,
                    std::uint8_t* grown, std::uint8_t* outside_x) {
                  // The mask's own elements are the ones at distance 0.
                  const Dist* here = d + offset;
                  for (std::int64_t i = 0; i < count; ++i) {
                    grown[i] = here[i] <= near;
                    outside_x[i] = here[i] != 0;
                  }
                });
    };
    clipped_distances<Dist>(x, distances, t, Rounds::Dilation, finish, gil);
  };
  // Distances up to t + 1 fit in the band's own bytes while t < 254.
  if (t < 254) return compute(set);
  if (t < 65534) {
    std::vector<std::uint16_t> distances(static_cast<std::size_t>(shape.size));
    return compute(distances.data());
  }
  std::vector<std::uint32_t> distances(static_cast<std::size_t>(shape.size));
  compute(distances.data());
}

}  // namespace

Ref to_shell(const rt::Call& call, rt::Handle x, rt::Handle count) {
  if (!call.bound_at_import({"range", "int", "bool", "binary_erosion"})) return {};
  const ReadableMask mask(call, x);
  if (!mask.mask()) return {};
  const std::int64_t t = rounds(count);
  Ref result = new_bool_array(call, mask.mask()->geometry);
  const WritableMask out(result);
  const Isa isa = isa_of(call);
  {
    rt::WithoutGil gil;
    shell(*mask.mask(), t, reinterpret_cast<std::uint8_t*>(out.data()), isa, gil);
  }
  return result;
}

// The pieces of the band for a y of other values than 0 and 1 (a label map), where the
// band is where y is 2 away from x: outside x's bounding box widened by t no round reaches
// and x is 0, so the band there is y == 2; inside, the steps' own formula (with no round
// or no element of x, the band is y == 2 everywhere). The whole array's band is made slab
// by slab along the first axis, in a buffer of a few slabs, and its pieces counted as it
// goes, up to the slab where two are certain. nullopt (for the whole array's distances)
// where the box is over half the array.
std::optional<std::int64_t> labelled_band_pieces(const MaskData& x, const MaskData& y,
                                                 std::int64_t t, Isa isa) {
  const Geometry& shape = x.geometry;
  rt::WithoutGil gil;
  std::optional<Box> box;
  if (t > 0) box = bounding_box(x, isa, gil);
  const Box region = box ? widened(*box, t, shape) : Box{};
  const MaskData near_x = restricted(x, region);
  const MaskData near_y = restricted(y, region);
  if (box && near_x.geometry.size > shape.size / 2) return std::nullopt;
  const std::int64_t slab = slab_size(shape);
  const std::int64_t slabs = shape.size / slab;
  const std::int64_t slab_lines = slab / shape.last();
  PieceCounter counter(shape, 2);
  // Slabs [done, last) of y == 2, a few at a time (at least 64 Ki elements).
  const std::int64_t step = std::max<std::int64_t>(1, (std::int64_t{1} << 16) / slab);
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(step * slab));
  std::int64_t done = 0;
  auto twos_up_to = [&](std::int64_t last) {
    while (done < last) {
      const std::int64_t next = std::min(last, done + step);
      twos(y, buffer.data(), done, next, isa, gil);
      if (counter.add_lines(buffer.data(), (next - done) * slab_lines, gil)) return true;
      done = next;
    }
    return false;
  };
  if (!box) {
    twos_up_to(slabs);
    return counter.count();
  }
  // A slab of the box's: y == 2, with the box's lines of the band put in their places.
  const Geometry& part = near_x.geometry;
  auto put = [&](std::int64_t q, const std::uint8_t* box_slab) {
    const std::int64_t p = shape.ndim > 1 ? region.low[0] + q : 0;
    twos(y, buffer.data(), p, p + 1, isa, gil);
    for_each_slab_chunk(
        part, q,
        [&](const Index& index, std::int64_t offset, std::int64_t start, std::int64_t count) {
          std::int64_t at = start + region.low[shape.ndim - 1];
          std::int64_t stride = shape.last();
          for (std::size_t k = shape.ndim - 1; k-- > 1;) {
            at += (index[k] + region.low[k]) * stride;
            stride *= shape.shape[k];
          }
          std::copy_n(box_slab + offset, count, buffer.data() + at);
        });
    gil.progress(slab_size(part));
    done = p + 1;
    return counter.add_lines(buffer.data(), slab_lines, gil);
  };
  if (twos_up_to(shape.ndim > 1 ? region.low[0] : 0)) return counter.count();
  if (t <= kMostRounds && rounds_take(x.type) && rounds_take(y.type) &&
      rounds_fit(part, t, shape.size)) {
    bool certain = false;
    band_by_rounds(near_x, near_y, t, isa, gil, [&](std::int64_t q, const std::uint8_t* plane) {
      certain = put(q, plane);
      return certain;
    });
    if (certain) return counter.count();
  } else {
    std::vector<std::uint8_t> inside(static_cast<std::size_t>(part.size));
    band(near_x, near_y, t, inside.data(), isa, gil);
    const std::int64_t box_slabs = shape.ndim > 1 ? part.shape[0] : 1;
    for (std::int64_t q = 0; q < box_slabs; ++q) {
      if (put(q, inside.data() + q * slab_size(part))) return counter.count();
    }
  }
  twos_up_to(slabs);
  return counter.count();
}

Ref is_cross(const rt::Call& call, rt::Handle x, rt::Handle y, rt::Handle count) {
  if (!call.bound_at_import(
          {"range", "int", "np", "np.zeros_like", "np.where", "binary_dilation", "label"})) {
    return {};
  }
  const ReadableMask first(call, x);
  const ReadableMask second(call, y);
  if (!same_shape(first, second)) return {};
  // scipy's label refuses a big-endian array (np.zeros_like(x) has x's byte order).
  if (first.mask()->type.swapped) return {};
  const std::int64_t t = rounds(count);
  if (t > std::numeric_limits<std::uint32_t>::max() - 2 && t < widest(first.mask()->geometry)) {
    return {};
  }
  // With a boolean y (never 2) the band lies within t steps of x's set elements: the work
  // is done on x's bounding box widened by t (a shortest path between two elements of a
  // box stays in it, so the distances there are the whole array's), and an x with no set
  // element has no band.
  // The count of pieces is the same whatever the order of the axes (the rounds and the
  // pieces' connectivity treat every axis alike), so the work walks x's memory in order (a
  // Fortran-ordered x with its axes reversed), on long lines.
  const Isa isa = isa_of(call);
  const AxisOrder order = line_order(first.mask()->geometry);
  MaskData near_x = reordered(*first.mask(), order);
  MaskData near_y = reordered(*second.mask(), order);
  if (near_y.type.kind == ElementKind::Bool) {
    if (t <= 0) return rt::boolean(true);  // no round: the band is where y is 2, nowhere
    std::optional<Box> box;
    {
      rt::WithoutGil gil;
      box = bounding_box(near_x, isa, gil);
    }
    if (!box) return rt::boolean(true);  // no piece
    const Box region = widened(*box, t, near_x.geometry);
    near_x = restricted(near_x, region);
    near_y = restricted(near_y, region);
  } else if (auto pieces = labelled_band_pieces(near_x, near_y, t, isa)) {
    return rt::boolean(*pieces != 1);
  }
  // The rounds hand the band over plane by plane, and its pieces are counted as it comes,
  // up to the plane where two are certain: the band is never kept whole. Otherwise the
  // band, like the steps' own np.zeros_like(x), takes one array, of the box's shape at most
  // x's (made by numpy, whose large allocations are backed by huge pages where the system
  // offers them).
  const Geometry& shape = near_x.geometry;
  const bool by_rounds = rounds_take(near_x.type) && rounds_take(near_y.type) && t >= 1 &&
                         t <= kMostRounds && rounds_fit(shape, t, first.mask()->geometry.size);
  std::int64_t pieces = 0;
  if (by_rounds) {
    rt::WithoutGil gil;
    PieceCounter counter(shape, 2);
    const std::int64_t plane_lines = shape.ndim > 1 ? shape.lines() / shape.shape[0] : 1;
    band_by_rounds(near_x, near_y, t, isa, gil, [&](std::int64_t, const std::uint8_t* plane) {
      return counter.add_lines(plane, plane_lines, gil);
    });
    pieces = counter.count();
  } else {
    Ref scratch = new_bool_array(call, shape);
    const WritableMask set(scratch);
    rt::WithoutGil gil;
    auto* bytes = reinterpret_cast<std::uint8_t*>(set.data());
    band(near_x, near_y, t, bytes, isa, gil);
    pieces = count_pieces(bytes, shape, 2, gil);
  }
  return rt::boolean(pieces != 1);
}

}  // namespace orvane::medical::fast
