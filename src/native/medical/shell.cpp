// The shell of a mask and the farthest pair of its points.
#include "fast/fast_paths.hpp"
#include "medical.hpp"

namespace orvane::medical {
namespace {

using rt::Ref;

Ref to_shell_body(rt::Call& call) {
  PyObject* x = call.arg(0);
  // A non-empty mask loses elements every round until it is empty.
  Ref eroded = morphology_rounds(call, call.arg(1), x, "binary_erosion");
  Ref difference = Ref::steal(PyNumber_Subtract(np::as_int(x).get(), np::as_int(eroded).get()));
  return rt::call_method(difference, "astype", {reinterpret_cast<PyObject*>(&PyBool_Type)});
}

// The pair of mask points farthest apart under the spacing, by comparing every pair:
// the first pair in combinations() order wins among equals.
Ref literal_points_pair(const rt::Call& call, rt::Handle x, rt::Handle sp) {
  Ref idx = np::call(call, "argwhere", {x});
  Ref two = rt::integer(2);
  Ref differences = rt::new_list();
  Ref pairs = rt::iter(rt::call(call.global("combinations"), {idx, two}));
  while (Ref pair = rt::next(pairs)) {
    rt::append(differences, Ref::steal(PyNumber_Subtract(rt::getitem(pair, 0).get(),
                                                         rt::getitem(pair, 1).get())));
  }
  Ref dis_mat = np::call(call, "array", {differences});
  Ref scaled = Ref::steal(PyNumber_Multiply(dis_mat.get(), sp.get()));
  Ref norm = rt::getattr(rt::getattr(call.global("np"), "linalg"), "norm");
  Ref lengths = rt::call(norm, {scaled}, {{"ord", two}, {"axis", rt::integer(1)}});
  Ref best = np::call(call, "argmax", {lengths});

  // The winner is found by walking a fresh enumeration of the pairs.
  pairs = rt::iter(rt::call(call.global("combinations"), {idx, two}));
  long long count = 0;
  while (Ref pair = rt::next(pairs)) {
    if (rt::equals(rt::integer(count++), best)) return pair;
  }
  rt::raise(PyExc_IndexError, "list index out of range");
}

Ref points_pair_body(rt::Call& call) {
  if (Ref fast = fast::points_pair(call, call.arg(0), call.arg(1))) return fast;
  return literal_points_pair(call, call.arg(0), call.arg(1));
}

const rt::Param kShellParams[] = {
    {.name = "x", .annotation = "np.ndarray"},
    {.name = "__tol", .annotation = "int", .exact_type = &PyLong_Type},
};
constexpr rt::Param kPairParams[] = {
    {.name = "x", .annotation = "np.ndarray"},
    {.name = "sp", .annotation = "np.ndarray"},
};

}  // namespace

const rt::FunctionSpec to_shell{.name = "_to_shell",
                                .params = kShellParams,
                                .body = to_shell_body,
                                .return_annotation = "np.ndarray"};
const rt::FunctionSpec points_pair{.name = "_points_pair",
                                   .params = kPairParams,
                                   .body = points_pair_body,
                                   .return_annotation = "tuple[np.ndarray, np.ndarray]"};

}  // namespace orvane::medical
