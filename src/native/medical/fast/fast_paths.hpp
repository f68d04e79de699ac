// Native fast paths. Each returns an empty Ref when it does not apply (a rebound module
// name or built-in, a patched numpy function, an argument it cannot read or vouch for);
// the caller then runs the plain steps.
#pragma once
#include <optional>

#include "orvane/rt/runtime.hpp"

namespace orvane::medical::fast {

// set_ops.cpp
rt::Ref superposition(const rt::Call& call, rt::Handle x, rt::Handle y);
rt::Ref diff_set(const rt::Call& call, rt::Handle x, rt::Handle y);
rt::Ref union_set(const rt::Call& call, rt::Handle x, rt::Handle y);
// morphology.cpp
rt::Ref to_shell(const rt::Call& call, rt::Handle x, rt::Handle count);
rt::Ref is_cross(const rt::Call& call, rt::Handle x, rt::Handle y, rt::Handle count);
// fast_paths.cpp
rt::Ref points_pair(const rt::Call& call, rt::Handle x, rt::Handle sp);
rt::Ref minimum_dis(const rt::Call& call, rt::Handle x, rt::Handle y, rt::Handle sp);

// enclosure.cpp: what _is_enclosed hands to ConvexHull and np.vstack: the points of y
// outside x (np.argwhere(...)'s array: values, dtype, shape and layout) and the centroid of
// x (np.argwhere(x).mean(axis=0), bit for bit).
struct EnclosureInput {
  rt::Ref points;
  rt::Ref centroid;
};
std::optional<EnclosureInput> enclosure_input(const rt::Call& call, rt::Handle x, rt::Handle y);

}  // namespace orvane::medical::fast
