// The crossing test's band for boolean masks and label maps, and a few rounds: t
// dilations of x by the face neighbours done one round at a time, each a single vector pass
// over a padded plane, where a distance field would make several passes over short lines.
#pragma once
#include <functional>

#include "isa.hpp"
#include "mask.hpp"
#include "orvane/rt/gil.hpp"

namespace orvane::medical::fast {

// Rounds up to which band_by_rounds is taken.
inline constexpr std::int64_t kMostRounds = 8;

// Whether band_by_rounds may work on a box of `box` for t rounds and a mask of `whole`
// elements: the padded planes that its rounds keep take a quarter of the mask (or 4 MiB)
// at most, so that the crossing test still adds about one array of the mask's size at most.
bool rounds_fit(const Geometry& box, std::int64_t t, std::int64_t whole);

// Whether band_by_rounds takes masks of this element type: booleans, and integers of at
// most two bytes (label maps), whose values the band's formula adds without wrapping.
inline bool rounds_take(ElementType type) {
  return type.kind != ElementKind::Float && type.size <= 2;
}

// For x and y of one shape (rounds_take) and 1 <= t <= kMostRounds: 1 where
// reached.astype(int) - x.astype(int) + y.astype(int) == 2, with `reached` the elements that
// t dilations of x reach (for booleans: reached, not in x, and in y), else 0. The outside
// of the array holds no element of x. The band is handed over plane by plane along the
// first axis, in order: take(q, plane) gets plane q, C-ordered (all of a mask of one
// axis), in a buffer that the next plane overwrites, and returns true to stop there.
using BandPlane = std::function<bool(std::int64_t q, const std::uint8_t* plane)>;
void band_by_rounds(const MaskData& x, const MaskData& y, std::int64_t t, Isa isa,
                    rt::WithoutGil& gil, const BandPlane& take);

}  // namespace orvane::medical::fast
