// The shell of a mask and the farthest pair of its points.
#include "fast/fast_paths.hpp"
#include "medical.hpp"

namespace orvane::medical {
namespace {

using rt::Ref;

Ref to_shell_body(rt::Call& call) {
  PyObject* x = call.arg(0);
  if (Ref fast = fast::to_shell(call, x, call.arg(1))) return fast;
  // A non-empty mask loses elements every round until it is empty.
  Ref eroded = morphology_rounds(call, call.arg(1), x, "binary_erosion");
  Ref minuend = np::as_int(call, x);
  Ref subtrahend = np::as_int(call, eroded);
  Ref difference = Ref::steal(PyNumber_Subtract(minuend.get(), subtrahend.get()));
  return np::as_type(call, difference, "bool");
}

// The pair of mask points farthest apart under the spacing, by comparing every pair:
// the first pair in combinations() order wins among equals.
Ref literal_points_pair(const rt::Call& call, rt::Handle x, rt::Handle sp) {
  Ref argwhere = np::attr(call, "argwhere");
  Ref idx = rt::call(argwhere, {x});
  Ref two = rt::integer(2);
  // np.array([m[0] - m[1] for m in combinations(idx, 2)])
  Ref array = np::attr(call, "array");
  Ref differences = rt::new_list();
  Ref pairs = rt::iter(rt::call(call.global("combinations"), {idx, two}));
  while (Ref pair = rt::next(pairs)) {
    Ref first = rt::getitem(pair, 0);
    Ref second = rt::getitem(pair, 1);
    rt::append(differences, Ref::steal(PyNumber_Subtract(first.get(), second.get())));
  }
  Ref dis_mat = rt::call(array, {differences});
  // np.argmax(np.linalg.norm(dis_mat * sp, ord=2, axis=1))
  Ref argmax = np::attr(call, "argmax");
  Ref norm = np::norm(call);
  Ref scaled = Ref::steal(PyNumber_Multiply(dis_mat.get(), sp.get()));
  Ref best = rt::call(argmax, {rt::call(norm, {scaled}, {{"ord", two}, {"axis", rt::integer(1)}})});

  // [m for n, m in enumerate(combinations(idx, 2)) if n == _opt_idx][0]: every pair is
  // walked, the winner is the first one collected.
  Ref winners = rt::new_list();
  Ref enumerate = call.global("enumerate");
  Ref combinations = call.global("combinations");
  Ref numbered = rt::iter(rt::call(enumerate, {rt::call(combinations, {idx, two})}));
  while (Ref item = rt::next(numbered)) {
    auto [n, pair] = rt::unpack<2>(item);
    if (rt::equals(n, best)) rt::append(winners, pair);
  }
  return rt::getitem(winners, 0);
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
