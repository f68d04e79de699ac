// NullType: a class whose instances are false, for a null sentinel distinct from None.
#include "annotix.hpp"

namespace orvane::annotix {
namespace {

// lambda *args: False
rt::Ref false_body(rt::Call&) {
  return rt::boolean(false);
}

constexpr rt::Param kArgs[] = {{.name = "args", .kind = rt::ParamKind::VarPositional}};
const rt::FunctionSpec kFalse{.name = "<lambda>", .params = kArgs, .body = false_body};

}  // namespace

rt::Ref make_null_class(const rt::ModuleBuilder& m) {
  rt::Ref namespace_dict = class_namespace(m, "NullType");
  rt::set_key(namespace_dict, "__bool__", m.function(kFalse));
  return new_class("NullType", namespace_dict);
}

}  // namespace orvane::annotix
