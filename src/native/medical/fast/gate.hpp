// What the fast paths check before they take over from the plain steps, and the arrays
// they make for their results.
#pragma once
#include <optional>
#include <span>

#include "mask.hpp"
#include "orvane/rt/runtime.hpp"

namespace orvane::medical::fast {

// A mask argument the fast paths can read: an exact numpy.ndarray (the type numpy had at
// import; no subclass, whose methods could differ) of 1 to kMaxAxes axes and at least one
// element, of a boolean, integer or (where `floats`) floating element type, in either
// byte order. mask() is empty otherwise.
class ReadableMask {
 public:
  ReadableMask(const rt::Call& call, rt::Handle obj, bool floats = false);
  const std::optional<MaskData>& mask() const noexcept { return mask_; }

 private:
  std::optional<rt::BufferView> view_;
  std::optional<MaskData> mask_;
};

// True when both are readable and of one shape.
bool same_shape(const ReadableMask& a, const ReadableMask& b);

// numpy.empty(extents, dtype=dtype), by the import-time numpy.
rt::Ref new_array(const rt::Call& call, std::span<const std::int64_t> extents, rt::Handle dtype);

// A new boolean array made by numpy (numpy.empty of the import-time numpy), C-ordered or
// laid out like `prototype` (numpy.empty_like), and a writable view of it.
rt::Ref new_bool_array(const rt::Call& call, const Geometry& shape);
rt::Ref new_bool_array_like(const rt::Call& call, rt::Handle prototype);

class WritableMask {
 public:
  explicit WritableMask(rt::Handle array);
  char* data() const noexcept { return view_.writable_data(); }
  const Geometry& geometry() const noexcept { return geometry_; }

 private:
  rt::BufferView view_;
  Geometry geometry_;
};

// The tolerance of _to_shell and _is_cross as a count of rounds: negative counts are no
// round, counts beyond int64 are the largest int64 (every count beyond the array's extent
// gives the same result).
std::int64_t rounds(rt::Handle count);

}  // namespace orvane::medical::fast
