// The minimum spacing-scaled distance between the shells of two masks, and the
// crossing test of a mask against the band around another.
#include "fast/fast_paths.hpp"
#include "medical.hpp"

namespace orvane::medical {
namespace {

using rt::Ref;

// Compares every point of one shell with every point of the other; the first row
// (outer loop over the shell of x) wins among equally short ones.
Ref literal_minimum_dis(const rt::Call& call, rt::Handle x, rt::Handle y, rt::Handle sp) {
  // idx1 = np.argwhere(_to_shell(x)); idx2 = np.argwhere(_to_shell(y))
  Ref argwhere = np::attr(call, "argwhere");
  Ref idx1 = rt::call(argwhere, {rt::call(call.global("_to_shell"), {x})});
  argwhere = np::attr(call, "argwhere");
  Ref idx2 = rt::call(argwhere, {rt::call(call.global("_to_shell"), {y})});
  // dis_mat = np.vstack([idx2 - p1 for p1 in idx1]) * np.asarray(sp)
  Ref vstack = np::attr(call, "vstack");
  Ref blocks = rt::new_list();
  Ref rows = rt::iter(idx1);
  while (Ref p1 = rt::next(rows)) {
    rt::append(blocks, Ref::steal(PyNumber_Subtract(idx2.get(), p1.get())));
  }
  Ref stacked = rt::call(vstack, {blocks});
  Ref asarray = np::attr(call, "asarray");
  Ref dis_mat = Ref::steal(PyNumber_Multiply(stacked.get(), rt::call(asarray, {sp}).get()));
  Ref two = rt::integer(2);
  Ref norm = np::norm(call);
  Ref lengths = rt::call(norm, {dis_mat}, {{"ord", two}, {"axis", rt::integer(1)}});
  // np.linalg.norm(dis_mat[np.argmin(ref)], ord=2)
  norm = np::norm(call);
  Ref argmin = np::attr(call, "argmin");
  Ref closest = rt::getitem(dis_mat, rt::call(argmin, {lengths}));
  return rt::call(norm, {closest}, {{"ord", two}});
}

Ref minimum_dis_body(rt::Call& call) {
  if (Ref fast = fast::minimum_dis(call, call.arg(0), call.arg(1), call.arg(2))) return fast;
  return literal_minimum_dis(call, call.arg(0), call.arg(1), call.arg(2));
}

// False when y meets the band of width _tol around x in exactly one connected piece.
Ref is_cross_body(rt::Call& call) {
  PyObject* x = call.arg(0);
  PyObject* y = call.arg(1);
  if (Ref fast = fast::is_cross(call, x, y, call.arg(2))) return fast;
  // The mask grows every round until it fills the array (or stays empty).
  Ref dilated = morphology_rounds(call, call.arg(2), x, "binary_dilation");
  // _temp.astype(int) - x.astype(int) + y.astype(int), left to right.
  Ref grown = np::as_int(call, dilated);
  Ref original = np::as_int(call, x);
  Ref band = Ref::steal(PyNumber_Subtract(grown.get(), original.get()));
  Ref overlap = rt::add(band, np::as_int(call, y));
  Ref zeros_like = np::attr(call, "zeros_like");
  Ref pieces = rt::call(zeros_like, {x});
  np::set_where(
      call, pieces, [&] { return rt::compare(overlap, rt::integer(2), Py_EQ); }, rt::integer(1));
  Ref count = rt::getitem(rt::call(call.global("label"), {pieces}), 1);
  return rt::boolean(!rt::equals(count, rt::integer(1)));
}

const rt::Param kDistanceParams[] = {
    {.name = "x", .annotation = "np.ndarray"},
    {.name = "y", .annotation = "np.ndarray"},
    {.name = "sp", .annotation = "list", .exact_type = &PyList_Type},
};
const rt::Param kCrossParams[] = {
    {.name = "x", .annotation = "np.ndarray"},
    {.name = "y", .annotation = "np.ndarray"},
    {.name = "_tol", .annotation = "int", .exact_type = &PyLong_Type},
};

}  // namespace

const rt::FunctionSpec minimum_dis{
    .name = "_minimum_dis", .params = kDistanceParams, .body = minimum_dis_body};
const rt::FunctionSpec is_cross{.name = "_is_cross", .params = kCrossParams, .body = is_cross_body};

}  // namespace orvane::medical
