// The functions of the mask geometry module, defined in their own files and bound by
// module.cpp in the module's order.
#pragma once
#include <vector>

#include "orvane/rt/runtime.hpp"

namespace orvane::medical {

// helpers.cpp
extern const rt::FunctionSpec itk_img;        // array -> SimpleITK image with geometry
extern const rt::FunctionSpec is_mask_pair;   // two boolean masks of matching shape?
extern const rt::FunctionSpec apply_spacing;  // coordinates times spacings
// set_ops.cpp
extern const rt::FunctionSpec superposition;
extern const rt::FunctionSpec is_enclosed;
extern const rt::FunctionSpec diff_set;
extern const rt::FunctionSpec union_set;
// shell.cpp
extern const rt::FunctionSpec points_pair;
extern const rt::FunctionSpec to_shell;
// distance.cpp
extern const rt::FunctionSpec minimum_dis;
extern const rt::FunctionSpec is_cross;

// Small numpy idioms shared by the files above. Each performs its Python steps in
// Python's order: a callee is read before its arguments are computed.
namespace np {
// obj.astype(int)
rt::Ref as_int(rt::Handle obj);
// np.<name>, with `np` read from the module namespace.
rt::Ref attr(const rt::Call& call, const char* name);
// np.linalg.norm
rt::Ref norm(const rt::Call& call);
// arr[np.where(condition())] = value: np.where is read before the condition is computed.
template <class Condition>
void set_where(const rt::Call& call, rt::Handle arr, Condition&& condition, rt::Handle value) {
  rt::Ref where = attr(call, "where");
  rt::Ref positions = rt::call(where, {condition()});
  rt::setitem(arr, positions, value);
}
}  // namespace np

// The built-in all() over a list of already computed results.
bool all_true(const std::vector<rt::Ref>& results);

// `_x = x.copy()`, then `for _ in range(count): _x = <name>(_x)` with `name` (scipy's
// binary_erosion or binary_dilation) read from the module at each round; returns `_x`.
// Each round first runs pending signal handlers, as the backward jump of a Python loop
// does. While `name` is the import-time function, a round that returns its input
// unchanged is a fixed point (scipy's function depends on its input alone), so the rounds
// end there with the value the full loop would end with.
rt::Ref morphology_rounds(const rt::Call& call, rt::Handle count, rt::Handle x, const char* name);

}  // namespace orvane::medical
