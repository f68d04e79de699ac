// The bounding box of a mask's set elements, and a mask restricted to a box (a view of the
// same data), so that work near a small mask in a large volume stays near it.
#pragma once
#include <optional>

#include "isa.hpp"
#include "mask.hpp"
#include "orvane/rt/gil.hpp"

namespace orvane::medical::fast {

struct Box {
  Index low{};   // first index along each axis
  Index high{};  // last index along each axis
};

// The smallest box holding every set (non-zero) element of x; nullopt when none is set.
std::optional<Box> bounding_box(const MaskData& x, Isa isa, rt::WithoutGil& gil);

// `box` widened by `margin` along each axis, clipped to the array.
Box widened(const Box& box, std::int64_t margin, const Geometry& shape);

// x's elements within `box`, as a mask of the box's shape over the same data.
MaskData restricted(const MaskData& x, const Box& box);

}  // namespace orvane::medical::fast
