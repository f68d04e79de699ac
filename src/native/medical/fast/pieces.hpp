// The number of face-connected pieces of the non-zero elements of a C-ordered byte
// buffer, as scipy.ndimage.label counts them with its default structure.
#pragma once
#include "mask.hpp"
#include "orvane/rt/gil.hpp"

namespace orvane::medical::fast {

// `set`: 0 or 1 per element. The count stops at `enough` (at least 1): it is returned as
// soon as that many pieces are certain, which for a crossing test (one piece or not) is often
// long before the last line. Memory: a few words per run of set elements along the last
// axis (each run begins and ends on the outline of its piece).
std::int64_t count_pieces(const std::uint8_t* set, const Geometry& shape, std::int64_t enough,
                          rt::WithoutGil& gil);

}  // namespace orvane::medical::fast
