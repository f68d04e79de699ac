// The marker class _T: three items (value, type, escape), set from a slice by T[a:b:c].
#include "annotix.hpp"

namespace orvane::annotix {
namespace {

rt::Ref init_body(rt::Call& call) {
  PyObject* self = call.arg(0);
  rt::setattr(self, "value", Py_None);
  rt::setattr(self, "type", Py_None);
  rt::setattr(self, "escape", Py_False);
  return rt::none();
}

// A new marker from the slice's start, stop and step; `self` is left alone. The class is
// read from the module at each call, as a method body reads a global.
rt::Ref getitem_body(rt::Call& call) {
  PyObject* slice = call.arg(1);
  rt::Ref marker = rt::call(call.global("_T"));
  rt::setattr(marker, "value", rt::getattr(slice, "start"));
  rt::setattr(marker, "type", rt::getattr(slice, "stop"));
  rt::setattr(marker, "escape", rt::getattr(slice, "step"));
  return marker;
}

constexpr rt::Param kInitParams[] = {{.name = "self"}};
constexpr rt::Param kGetitemParams[] = {{.name = "self"}, {.name = "slc"}};
const rt::FunctionSpec kInit{.name = "__init__", .params = kInitParams, .body = init_body};
const rt::FunctionSpec kGetitem{
    .name = "__getitem__", .params = kGetitemParams, .body = getitem_body};

}  // namespace

rt::Ref make_marker_class(const rt::ModuleBuilder& m) {
  rt::Ref namespace_dict = class_namespace(m, "_T");
  rt::set_key(namespace_dict, "__init__", method(m, kInit, "_T"));
  rt::set_key(namespace_dict, "__getitem__", method(m, kGetitem, "_T"));
  return new_class("_T", namespace_dict);
}

}  // namespace orvane::annotix
