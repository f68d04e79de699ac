// GauWisTP: a Gaussian-Wishart distribution over a mean vector and a precision matrix.
// The class is made here with its two methods; module.cpp applies `dataclass` to it.
#include "annotix.hpp"

namespace orvane::annotix {
namespace {

using rt::Handle;
using rt::Ref;

// st.wishart(self.nu, self.w)
Ref frozen_wishart(const rt::Call& call, Handle self) {
  Ref wishart = rt::getattr(call.global("st"), "wishart");
  return rt::call(wishart, {rt::getattr(self, "nu"), rt::getattr(self, "w")});
}

// st.multivariate_normal(self.mean, np.linalg.pinv(precision))
Ref frozen_normal(const rt::Call& call, Handle self, Handle precision) {
  Ref normal = rt::getattr(call.global("st"), "multivariate_normal");
  Ref mean = rt::getattr(self, "mean");
  Ref pinv = rt::getattr(rt::getattr(call.global("np"), "linalg"), "pinv");
  return rt::call(normal, {mean, rt::call(pinv, {precision})});
}

// np.array(items)
Ref to_array(const rt::Call& call, Handle items) {
  return rt::call(rt::getattr(call.global("np"), "array"), {items});
}

// True when scipy accepts the parameters: the Wishart part and the normal part at the
// Wishart mean as precision. Any Exception means False; other exceptions propagate.
Ref is_valid_body(rt::Call& call) {
  PyObject* self = call.arg(0);
  try {
    Ref wishart = frozen_wishart(call, self);
    // self.beta * w.df * w.scale, read and multiplied left to right.
    Ref beta = rt::getattr(self, "beta");
    Ref scaled = rt::multiply(beta, rt::getattr(wishart, "df"));
    scaled = rt::multiply(scaled, rt::getattr(wishart, "scale"));
    frozen_normal(call, self, scaled);
  } catch (...) {
    rt::set_error_from_current_exception();
    if (!PyErr_ExceptionMatches(PyExc_Exception)) rt::throw_error_set();
    PyErr_Clear();
    return rt::boolean(false);
  }
  return rt::boolean(true);
}

// `size` draws of the mean vector. All precision draws come first, one `rvs(1)` call
// each, then one normal draw per precision: numpy's global random stream is consumed in
// exactly this order, so a seeded run repeats. A batch draw would consume it differently.
Ref rvs_body(rt::Call& call) {
  PyObject* self = call.arg(0);
  PyObject* size = call.arg(1);
  Ref wishart = frozen_wishart(call, self);  // built even when no sample is asked for

  Ref draws = rt::new_list();
  Ref one = rt::integer(1);
  Ref counter = rt::iter(rt::call(call.global("range"), {size}));
  while (Ref unused = rt::next(counter)) {
    rt::append(draws, rt::call_method(wishart, "rvs", {one}));
  }
  Ref precisions = to_array(call, draws);

  Ref scaled = rt::new_list();
  Ref items = rt::iter(precisions);
  while (Ref precision = rt::next(items)) {
    rt::append(scaled, rt::multiply(rt::getattr(self, "beta"), precision));
  }
  Ref scaled_precisions = to_array(call, scaled);
  // Scalar precisions (one dimension) become 1 by 1 matrices.
  if (rt::equals(rt::getattr(scaled_precisions, "ndim"), one)) {
    Ref newaxis = rt::getattr(call.global("np"), "newaxis");
    scaled_precisions = rt::getitem(scaled_precisions, rt::tuple({Py_Ellipsis, newaxis, newaxis}));
  }

  Ref means = rt::new_list();
  items = rt::iter(scaled_precisions);
  while (Ref precision = rt::next(items)) {
    rt::append(means, rt::call_method(frozen_normal(call, self, precision), "rvs", {one}));
  }
  return to_array(call, means);
}

constexpr rt::Param kSelf[] = {{.name = "self"}};
constexpr rt::Param kSelfSize[] = {{.name = "self"}, {.name = "size"}};
const rt::FunctionSpec kIsValid{.name = "_is_valid", .params = kSelf, .body = is_valid_body};
const rt::FunctionSpec kRvs{.name = "rvs", .params = kSelfSize, .body = rvs_body};

}  // namespace

Ref make_gauss_wishart_class(const rt::ModuleBuilder& m) {
  Ref namespace_dict = class_namespace(m, "GauWisTP");
  // Field annotations are kept as strings; dataclass reads the fields from them.
  Ref annotations = rt::new_dict();
  rt::set_key(annotations, "mean", rt::str("np_ndarray"));
  rt::set_key(annotations, "beta", rt::str("Numeric"));
  rt::set_key(annotations, "nu", rt::str("int"));
  rt::set_key(annotations, "w", rt::str("np_ndarray"));
  rt::set_key(namespace_dict, "__annotations__", annotations);
  rt::set_key(namespace_dict, "_is_valid", method(m, kIsValid, "GauWisTP"));
  rt::set_key(namespace_dict, "rvs", method(m, kRvs, "GauWisTP"));
  return new_class("GauWisTP", namespace_dict);
}

}  // namespace orvane::annotix
