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

// True when `before` and `after` are arrays of one type, both boolean with one byte per
// element, of one shape and equal element by element (read through the buffer protocol).
bool same_mask(rt::Handle before, rt::Handle after);

// `for _ in range(count): value = step(value)`, then the final value: no step when
// count <= 0. Each round first runs pending signal handlers, as the backward jump of a
// Python loop does, so Ctrl-C stops even 10**18 rounds. A round after which
// `settled(before, after)` holds reached a fixed point of the step: every round left would
// give the same value again, so the loop ends there, with the value it would end with.
template <class Step, class Settled>
rt::Ref repeat(rt::Handle count, rt::Ref value, Step&& step, Settled&& settled) {
  int overflow = 0;
  long long times = PyLong_AsLongLongAndOverflow(count.get(), &overflow);
  if (times == -1 && PyErr_Occurred()) rt::throw_error_set();
  if (overflow < 0 || (overflow == 0 && times <= 0)) return value;
  // Beyond the range of long long the count is still finite; the loop stops at a fixed
  // point or an interrupt long before 2**64 rounds.
  unsigned long long remaining = overflow > 0 ? ~0ULL : static_cast<unsigned long long>(times);
  for (; remaining != 0; --remaining) {
    rt::check_interrupts();
    rt::Ref next = step(value);
    const bool fixed_point = settled(value, next);
    value = std::move(next);
    if (fixed_point) break;
  }
  return value;
}

}  // namespace orvane::medical
