// Native fast paths for the two quadratic operations. Each returns an empty Ref when it
// does not apply (a rebound module name, an array it cannot read, a spacing it cannot
// vouch for); the caller then runs the plain path.
#pragma once
#include "orvane/rt/runtime.hpp"

namespace orvane::medical::fast {

rt::Ref points_pair(const rt::Call& call, rt::Handle x, rt::Handle sp);
rt::Ref minimum_dis(const rt::Call& call, rt::Handle x, rt::Handle y, rt::Handle sp);

}  // namespace orvane::medical::fast
