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

// Small numpy idioms shared by the files above.
namespace np {
// obj.astype(int)
rt::Ref as_int(rt::Handle obj);
// np.<name>(args...) with `np` read from the module namespace.
rt::Ref call(const rt::Call& call, const char* name, std::initializer_list<rt::Handle> args,
             std::initializer_list<rt::Kw> kwargs = {});
// arr[np.where(condition)] = value
void set_where(const rt::Call& call, rt::Handle arr, rt::Handle condition, rt::Handle value);
}  // namespace np

// The built-in all() over a list of already computed results.
bool all_true(const std::vector<rt::Ref>& results);

// Repeats `step` `count` times as `for _ in range(count)` would: no step when count <= 0.
template <class Step>
void repeat(rt::Handle count, Step&& step) {
  int overflow = 0;
  long long times = PyLong_AsLongLongAndOverflow(count.get(), &overflow);
  if (times == -1 && PyErr_Occurred()) rt::throw_error_set();
  if (overflow < 0) return;
  unsigned long long remaining = overflow > 0 ? ~0ULL : static_cast<unsigned long long>(times);
  if (overflow == 0 && times <= 0) return;
  for (; remaining != 0; --remaining) step();
}

}  // namespace orvane::medical
