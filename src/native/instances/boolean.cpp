// _as_boolean: a mask that is true where x exceeds the threshold.
#include "instances.hpp"

namespace orvane::instances {
namespace {

using rt::Ref;

Ref as_boolean_body(rt::Call& call) {
  PyObject* x = call.arg(0);
  PyObject* threshold = call.arg(1);
  Ref res = rt::call(rt::getattr(call.global("np"), "zeros_like"), {x});
  Ref where = rt::getattr(call.global("np"), "where");
  rt::setitem(res, rt::call(where, {rt::compare(x, threshold, Py_GT)}), rt::integer(1));
  Ref astype = rt::getattr(res, "astype");
  return rt::call(astype, {call.global("bool")});
}

constexpr rt::Param kParams[] = {{.name = "x"}, {.name = "thre"}};

}  // namespace

const rt::FunctionSpec as_boolean{
    .name = "_as_boolean", .params = kParams, .body = as_boolean_body};

}  // namespace orvane::instances
