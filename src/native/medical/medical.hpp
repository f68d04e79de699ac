// The functions of the mask geometry module, defined in their own files and bound by
// module.cpp in the module's order.
#pragma once
#include <initializer_list>

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
// obj.astype(<builtin>, **kwargs): the method is read, then the built-in's name (`int`,
// `bool`) as a body reads it, at each call.
rt::Ref as_type(const rt::Call& call, rt::Handle obj, const char* builtin,
                std::initializer_list<rt::Kw> kwargs = {});
inline rt::Ref as_int(const rt::Call& call, rt::Handle obj) {
  return as_type(call, obj, "int");
}
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

// `for a, b in zip(first, second)` (zip read as a body reads it), calling each(a, b).
template <class Each>
void for_zip(const rt::Call& call, rt::Handle first, rt::Handle second, Each&& each) {
  rt::Ref zip = call.global("zip");
  rt::Ref pairs = rt::iter(rt::call(zip, {first, second}));
  while (rt::Ref pair = rt::next(pairs)) {
    auto [a, b] = rt::unpack<2>(pair);
    each(a, b);
  }
}

// `_x = x.copy()`, then `for _ in range(count): _x = <name>(_x)` with `range` and `name`
// (scipy's binary_erosion or binary_dilation) read as a body reads them; returns `_x`.
// Each round first runs pending signal handlers, as the backward jump of a Python loop
// does. While `range` and `name` are the import-time objects, a round that returns its
// input unchanged is a fixed point (scipy's function depends on its input alone, and
// range's iterator does nothing else), so the rounds end there with the value the full
// loop would end with.
rt::Ref morphology_rounds(const rt::Call& call, rt::Handle count, rt::Handle x, const char* name);

}  // namespace orvane::medical
