// Scoring every pair of a few thousand candidate points with the plain path's length
// formula, at the width of the vector instructions (isa.hpp).
#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "isa.hpp"
#include "orvane/rt/gil.hpp"
#include "spacing.hpp"

namespace orvane::medical::fast {

// `axes`: ndim blocks of `count` coordinates (integers below 2**53, as doubles), the points
// in their order. The first pair (i, j), i < j, in that order whose computed length is the
// largest: the length of a pair is sqrt of the sum, left to right, of the squares of
// (coordinate difference) * spacing, as scaled_length computes it. count >= 2.
std::pair<std::size_t, std::size_t> farthest_scored(const std::vector<double>& axes,
                                                    std::size_t count, const Spacing& spacing,
                                                    std::size_t ndim, Isa isa, rt::WithoutGil& gil);

}  // namespace orvane::medical::fast
