// Intersection, difference and union of masks, and the convex-hull enclosure test.
#include "fast/fast_paths.hpp"
#include "medical.hpp"

namespace orvane::medical {
namespace {

using rt::Ref;

// x.astype(int) + y.astype(int), x first.
Ref int_sum(const rt::Call& call, rt::Handle x, rt::Handle y) {
  Ref first = np::as_int(call, x);
  Ref second = np::as_int(call, y);
  return rt::add(first, second);
}

Ref superposition_body(rt::Call& call) {
  if (Ref fast = fast::superposition(call, call.arg(0), call.arg(1))) return fast;
  Ref sum = int_sum(call, call.arg(0), call.arg(1));
  Ref zeros_like = np::attr(call, "zeros_like");
  Ref result = np::as_type(call, rt::call(zeros_like, {sum}), "bool");
  np::set_where(call, result, [&] { return rt::compare(sum, rt::integer(2), Py_EQ); }, Py_True);
  return result;
}

Ref diff_set_body(rt::Call& call) {
  if (Ref fast = fast::diff_set(call, call.arg(0), call.arg(1))) return fast;
  Ref result = np::as_type(call, call.arg(0), "bool", {{"copy", Py_True}});
  np::set_where(call, result, [&] { return Ref::borrow(call.arg(1)); }, Py_False);
  return result;
}

Ref union_set_body(rt::Call& call) {
  if (Ref fast = fast::union_set(call, call.arg(0), call.arg(1))) return fast;
  Ref sum = int_sum(call, call.arg(0), call.arg(1));
  Ref ones_like = np::attr(call, "ones_like");
  Ref result = rt::call(ones_like, {call.arg(0)});
  np::set_where(
      call, result, [&] { return rt::compare(sum, rt::integer(0), Py_EQ); }, rt::integer(0));
  return np::as_type(call, result, "bool");
}

// x is enclosed by y when adding x's centroid leaves the hull of y-outside-x unchanged.
// Its answer depends on the order in which qhull reports the vertices, so it stays with
// scipy's ConvexHull.
Ref is_enclosed_body(rt::Call& call) {
  PyObject* x = call.arg(0);
  Ref points;
  Ref centroid;
  if (std::optional<fast::EnclosureInput> input = fast::enclosure_input(call, x, call.arg(1))) {
    points = std::move(input->points);
    centroid = std::move(input->centroid);
  } else {
    Ref outside = np::as_int(call, call.arg(1));
    np::set_where(call, outside, [&] { return Ref::borrow(x); }, rt::integer(0));
    Ref argwhere = np::attr(call, "argwhere");
    points = rt::call(argwhere, {rt::compare(outside, rt::integer(1), Py_EQ)});
    argwhere = np::attr(call, "argwhere");
    centroid = rt::call_method(rt::call(argwhere, {x}), "mean", {}, {{"axis", rt::integer(0)}});
  }
  Ref convex = call.global("_convex");
  Ref hull1 = rt::call(convex, {points});
  convex = call.global("_convex");
  Ref vstack = np::attr(call, "vstack");
  Ref hull2 = rt::call(convex, {rt::call(vstack, {rt::list({points, centroid})})});

  // len(hull1.vertices) == len(hull2.vertices) and
  // all([v1 == v2 for v1, v2 in zip(hull1.vertices, hull2.vertices)])
  Ref len = call.global("len");
  Ref length1 = rt::call(len, {rt::getattr(hull1, "vertices")});
  len = call.global("len");
  Ref length2 = rt::call(len, {rt::getattr(hull2, "vertices")});
  Ref same_length = rt::compare(length1, length2, Py_EQ);
  if (!rt::truthy(same_length)) return same_length;
  Ref all = call.global("all");
  Ref same = rt::new_list();
  Ref vertices1 = rt::getattr(hull1, "vertices");
  Ref vertices2 = rt::getattr(hull2, "vertices");
  for_zip(call, vertices1, vertices2,
          [&](rt::Handle v1, rt::Handle v2) { rt::append(same, rt::compare(v1, v2, Py_EQ)); });
  return rt::call(all, {same});
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
