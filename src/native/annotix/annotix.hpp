// The pieces of orvane.basic.annotix, defined in their own files and put together, in
// import order, by module.cpp.
#pragma once
#include "orvane/rt/runtime.hpp"

namespace orvane::annotix {

// classes.cpp: classes made by calling `type`, as a class statement would make them.
// A name as module-level code reads it: the module namespace, then the built-ins.
rt::Ref module_level(const rt::ModuleBuilder& m, const char* name);
// A class namespace holding __module__ (the module's name) and __qualname__.
rt::Ref class_namespace(const rt::ModuleBuilder& m, const char* qualname);
// A native function defined in a class body: its __qualname__ reads "<class>.<name>".
rt::Ref method(const rt::ModuleBuilder& m, const rt::FunctionSpec& spec, const char* class_name);
// type(name, (object,), namespace)
rt::Ref new_class(const char* name, rt::Handle namespace_dict);

// tables.cpp: the names and lists bound at import.
rt::Ref export_names();                               // __all__
rt::Ref builtin_types(const rt::ModuleBuilder& m);    // builtin_tp
rt::Ref typing_pure_map(const rt::ModuleBuilder& m);  // typing_pure_map
rt::Ref abstract_names();                             // abstract_tp

// cuda_switch.cpp: binds cp_ndarray and CUDA_AVAILABLE.
void cuda_switch(rt::ModuleBuilder& m);

rt::Ref make_marker_class(const rt::ModuleBuilder& m);         // _T, marker.cpp
rt::Ref make_null_class(const rt::ModuleBuilder& m);           // NullType, null_type.cpp
rt::Ref make_gauss_wishart_class(const rt::ModuleBuilder& m);  // GauWisTP, gauss_wishart.cpp

}  // namespace orvane::annotix
