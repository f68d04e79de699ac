// Classes built by calling `type`: the namespace a class statement would give them.
#include <string>

#include "annotix.hpp"

namespace orvane::annotix {

rt::Ref module_level(const rt::ModuleBuilder& m, const char* name) {
  PyObject* found = nullptr;
  int status = PyDict_GetItemStringRef(PyModule_GetDict(m.module()), name, &found);
  if (status < 0) rt::throw_error_set();
  if (status == 1) return rt::Ref::steal(found);
  return rt::builtin(name);
}

rt::Ref class_namespace(const rt::ModuleBuilder& m, const char* qualname) {
  // Without __module__, `type` would take the name of the calling Python frame's module,
  // which here is the import machinery's.
  rt::Ref namespace_dict = rt::new_dict();
  rt::set_key(namespace_dict, "__module__", m.get("__name__"));
  rt::set_key(namespace_dict, "__qualname__", rt::str(qualname));
  return namespace_dict;
}

rt::Ref method(const rt::ModuleBuilder& m, const rt::FunctionSpec& spec, const char* class_name) {
  const std::string qualname = std::string(class_name) + "." + spec.name;
  return m.function(spec, {}, qualname.c_str());
}

rt::Ref new_class(const char* name, rt::Handle namespace_dict) {
  rt::Ref bases = rt::tuple({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
  return rt::call(rt::builtin("type"), {rt::str(name), bases, namespace_dict});
}

}  // namespace orvane::annotix
