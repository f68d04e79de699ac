// The closest pair between two shells when they come near each other: y's shell points are
// grouped by the line (along the last axis) of their bounding box they lie on, and each shell point
// of x is compared only with those in a small window of lines around it, wide enough to hold every
// pair not longer than a length already found. The answer is the plain path's, as in
// nearest_shells.hpp.
#pragma once
#include <optional>
#include <vector>

#include "nearest_shells.hpp"

namespace orvane::medical::fast {

// nullopt when the window would span too many lines (shells far apart for their spacing,
// or a spacing of 0), or y's box has many more lines than y has points: the caller then
// searches a k-d tree.
std::optional<ClosestPair> closest_pair_by_lines(const std::vector<std::int64_t>& xs,
                                                 const std::vector<std::int64_t>& ys,
                                                 const Spacing& spacing, std::size_t ndim,
                                                 rt::WithoutGil& gil);

}  // namespace orvane::medical::fast
