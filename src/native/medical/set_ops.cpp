// Intersection, difference and union of masks, and the convex-hull enclosure test.
#include "medical.hpp"

namespace orvane::medical {
namespace {

using rt::Ref;

PyObject* bool_type() {
  return reinterpret_cast<PyObject*>(&PyBool_Type);
}

Ref int_sum(rt::Handle x, rt::Handle y) {
  return rt::add(np::as_int(x), np::as_int(y));
}

Ref superposition_body(rt::Call& call) {
  Ref sum = int_sum(call.arg(0), call.arg(1));
  Ref result = rt::call_method(np::call(call, "zeros_like", {sum}), "astype", {bool_type()});
  np::set_where(call, result, rt::compare(sum, rt::integer(2), Py_EQ), Py_True);
  return result;
}

Ref diff_set_body(rt::Call& call) {
  Ref result = rt::call_method(call.arg(0), "astype", {bool_type()}, {{"copy", Py_True}});
  np::set_where(call, result, call.arg(1), Py_False);
  return result;
}

Ref union_set_body(rt::Call& call) {
  Ref sum = int_sum(call.arg(0), call.arg(1));
  Ref result = np::call(call, "ones_like", {call.arg(0)});
  np::set_where(call, result, rt::compare(sum, rt::integer(0), Py_EQ), rt::integer(0));
  return rt::call_method(result, "astype", {bool_type()});
}

// x is enclosed by y when adding x's centroid leaves the hull of y-outside-x unchanged.
Ref is_enclosed_body(rt::Call& call) {
  PyObject* x = call.arg(0);
  Ref outside = np::as_int(call.arg(1));
  np::set_where(call, outside, x, rt::integer(0));
  Ref points = np::call(call, "argwhere", {rt::compare(outside, rt::integer(1), Py_EQ)});
  Ref centroid =
      rt::call_method(np::call(call, "argwhere", {x}), "mean", {}, {{"axis", rt::integer(0)}});
  Ref hull1 = rt::call(call.global("_convex"), {points});
  Ref hull2 =
      rt::call(call.global("_convex"), {np::call(call, "vstack", {rt::list({points, centroid})})});

  Ref vertices1 = rt::getattr(hull1, "vertices");
  Ref vertices2 = rt::getattr(hull2, "vertices");
  Py_ssize_t length1 = PyObject_Length(vertices1.get());
  if (length1 < 0) rt::throw_error_set();
  Py_ssize_t length2 = PyObject_Length(vertices2.get());
  if (length2 < 0) rt::throw_error_set();
  if (length1 != length2) return rt::boolean(false);

  std::vector<Ref> same;
  Ref first = rt::iter(vertices1);
  Ref second = rt::iter(vertices2);
  while (Ref v1 = rt::next(first)) {
    Ref v2 = rt::next(second);
    if (!v2) break;
    same.push_back(rt::compare(v1, v2, Py_EQ));
  }
  return rt::boolean(all_true(same));
}

constexpr rt::Param kPairParams[] = {
    {.name = "x", .annotation = "np.ndarray"},
    {.name = "y", .annotation = "np.ndarray"},
};

}  // namespace

const rt::FunctionSpec superposition{
    .name = "_superposition", .params = kPairParams, .body = superposition_body};
const rt::FunctionSpec is_enclosed{
    .name = "_is_enclosed", .params = kPairParams, .body = is_enclosed_body};
const rt::FunctionSpec diff_set{.name = "_diff_set", .params = kPairParams, .body = diff_set_body};
const rt::FunctionSpec union_set{
    .name = "_union_set", .params = kPairParams, .body = union_set_body};

}  // namespace orvane::medical
