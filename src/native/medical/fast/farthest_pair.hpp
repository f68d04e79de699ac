// The farthest pair of mask points in near-linear time, with the plain path's answer:
// among equal largest computed lengths, the first pair in combinations() order.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "isa.hpp"
#include "mask.hpp"
#include "orvane/rt/gil.hpp"
#include "spacing.hpp"

namespace orvane::medical::fast {

struct PointPair {
  std::array<std::int64_t, kMaxAxes> first{};  // earlier in row-major order
  std::array<std::int64_t, kMaxAxes> second{};
};

// nullopt when there is no pair (`count`, the number of set elements, is below 2) or the
// fast path cannot vouch for the plain path's answer (zero spacing, or a spacing so uneven
// that rounding could matter): the caller then runs the plain path or its failing tail.
// Runs without the GIL; `isa`: the vector instructions its kernels use.
std::optional<PointPair> farthest_pair(const MaskData& mask, const Spacing& spacing, Isa isa,
                                       std::int64_t& count, rt::WithoutGil& gil);

}  // namespace orvane::medical::fast
