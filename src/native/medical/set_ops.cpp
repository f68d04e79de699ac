// Intersection, difference and union of masks, and the convex-hull enclosure test.
#include "medical.hpp"

namespace orvane::medical {
namespace {

using rt::Ref;

PyObject* bool_type() {
  return reinterpret_cast<PyObject*>(&PyBool_Type);
}

// x.astype(int) + y.astype(int), x first.
Ref int_sum(rt::Handle x, rt::Handle y) {
  Ref first = np::as_int(x);
  Ref second = np::as_int(y);
  return rt::add(first, second);
}

Ref superposition_body(rt::Call& call) {
  Ref sum = int_sum(call.arg(0), call.arg(1));
  Ref zeros_like = np::attr(call, "zeros_like");
  Ref result = rt::call_method(rt::call(zeros_like, {sum}), "astype", {bool_type()});
  np::set_where(call, result, [&] { return rt::compare(sum, rt::integer(2), Py_EQ); }, Py_True);
  return result;
}

Ref diff_set_body(rt::Call& call) {
  Ref result = rt::call_method(call.arg(0), "astype", {bool_type()}, {{"copy", Py_True}});
  np::set_where(call, result, [&] { return Ref::borrow(call.arg(1)); }, Py_False);
  return result;
}

Ref union_set_body(rt::Call& call) {
  Ref sum = int_sum(call.arg(0), call.arg(1));
  Ref ones_like = np::attr(call, "ones_like");
  Ref result = rt::call(ones_like, {call.arg(0)});
  np::set_where(
      call, result, [&] { return rt::compare(sum, rt::integer(0), Py_EQ); }, rt::integer(0));
  return rt::call_method(result, "astype", {bool_type()});
}

// x is enclosed by y when adding x's centroid leaves the hull of y-outside-x unchanged.
Ref is_enclosed_body(rt::Call& call) {
  PyObject* x = call.arg(0);
  Ref outside = np::as_int(call.arg(1));
  np::set_where(call, outside, [&] { return Ref::borrow(x); }, rt::integer(0));
  Ref argwhere = np::attr(call, "argwhere");
  Ref points = rt::call(argwhere, {rt::compare(outside, rt::integer(1), Py_EQ)});
  argwhere = np::attr(call, "argwhere");
  Ref centroid = rt::call_method(rt::call(argwhere, {x}), "mean", {}, {{"axis", rt::integer(0)}});
  Ref convex = call.global("_convex");
  Ref hull1 = rt::call(convex, {points});
  convex = call.global("_convex");
  Ref vstack = np::attr(call, "vstack");
  Ref hull2 = rt::call(convex, {rt::call(vstack, {rt::list({points, centroid})})});

  // len(hull1.vertices) == len(hull2.vertices), read in this order.
  Ref vertices1 = rt::getattr(hull1, "vertices");
  Py_ssize_t length1 = PyObject_Length(vertices1.get());
  if (length1 < 0) rt::throw_error_set();
  Ref vertices2 = rt::getattr(hull2, "vertices");
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
