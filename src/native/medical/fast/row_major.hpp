// Points found in another order of the axes (a walk of a Fortran-ordered mask's memory)
// put back into numpy's row-major order of their own axes.
#pragma once
#include <vector>

#include "mask.hpp"
#include "orvane/rt/gil.hpp"

namespace orvane::medical::fast {

// `points` holds ndim indices per point, listed in row-major order of the axes taken in
// `order` (reordered(x, order)'s), each point's indices in that order too. Afterwards each
// point's indices are in its own axes' order and the points in row-major order: a stable
// counting sort by each axis from the last to the first (one that is sorted already is
// left as it is). Memory: one more vector of the points' size.
void into_row_major(std::vector<std::int64_t>& points, const AxisOrder& order,
                    const Geometry& shape, rt::WithoutGil& gil);

}  // namespace orvane::medical::fast
