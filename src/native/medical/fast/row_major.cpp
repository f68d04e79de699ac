#include "row_major.hpp"

#include <algorithm>
#include <numeric>

namespace orvane::medical::fast {

void into_row_major(std::vector<std::int64_t>& points, const AxisOrder& order,
                    const Geometry& shape, rt::WithoutGil& gil) {
  const std::size_t ndim = shape.ndim;
  const std::size_t count = points.size() / ndim;
  for (std::size_t i = 0; i < count; ++i) {
    std::int64_t* point = &points[i * ndim];
    Index at{};
    for (std::size_t k = 0; k < ndim; ++k) at[order[k]] = point[k];
    std::copy_n(at.begin(), ndim, point);
  }
  std::vector<std::int64_t> sorted(points.size());
  std::vector<std::size_t> starts;
  for (std::size_t axis = ndim; axis-- > 0;) {
    bool in_order = true;
    for (std::size_t i = 1; i < count && in_order; ++i) {
      in_order = points[(i - 1) * ndim + axis] <= points[i * ndim + axis];
    }
    if (in_order) continue;
    starts.assign(static_cast<std::size_t>(shape.shape[axis]) + 1, 0);
    for (std::size_t i = 0; i < count; ++i) {
      ++starts[static_cast<std::size_t>(points[i * ndim + axis]) + 1];
    }
    std::partial_sum(starts.begin(), starts.end(), starts.begin());
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t to = starts[static_cast<std::size_t>(points[i * ndim + axis])]++;
      std::copy_n(&points[i * ndim], ndim, &sorted[to * ndim]);
    }
    points.swap(sorted);
    gil.progress(static_cast<std::int64_t>(count) * 4);
  }
}

}  // namespace orvane::medical::fast
