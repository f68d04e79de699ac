// Module initialisation of orvane.basic.annotix: its statements, in order.
#include <initializer_list>
#include <string_view>

#include "annotix.hpp"

namespace orvane::annotix {
namespace {

using rt::Ref;

// typing.ByteString, which typing deprecates (reading it warns from 3.15 on) and is to
// drop. The module's own use of it is no use of the caller's: it is read with deprecation
// warnings ignored, as `with warnings.catch_warnings(action="ignore", category=
// DeprecationWarning)` would, so none reaches the caller. Where typing lacks it, a stand-in
// for what it stood for: bytes | bytearray | memoryview.
Ref byte_string(rt::Handle typing) {
  Ref manager = rt::call(rt::from_import("warnings", "catch_warnings"), {},
                         {{"action", rt::str("ignore")}, {"category", PyExc_DeprecationWarning}});
  Ref exit = rt::getattr(manager, "__exit__");
  rt::call_method(manager, "__enter__");
  PyObject* found = nullptr;
  const int status = PyObject_GetOptionalAttrString(typing.get(), "ByteString", &found);
  Ref value = Ref::steal_or_null(found);
  {
    rt::PendingError pending;  // an error of the read stays pending while the filters return
    rt::call(exit, {Py_None, Py_None, Py_None});
  }
  if (status < 0) rt::throw_error_set();
  if (value) return value;
  Ref bytes_like = Ref::steal(PyNumber_Or(reinterpret_cast<PyObject*>(&PyBytes_Type),
                                          reinterpret_cast<PyObject*>(&PyByteArray_Type)));
  return Ref::steal(PyNumber_Or(bytes_like.get(), reinterpret_cast<PyObject*>(&PyMemoryView_Type)));
}

// from typing import TypeVar, ByteString, ...: each name bound as it is imported.
void import_typing_names(rt::ModuleBuilder& m) {
  Ref typing = rt::import_module("typing");
  for (const char* name : {"TypeVar", "ByteString", "Type", "Set", "FrozenSet", "Tuple", "List",
                           "Dict", "Any", "Callable", "Mapping", "Sequence", "Iterator", "Iterable",
                           "Generator", "NoReturn", "Union"}) {
    m.bind(name, std::string_view(name) == "ByteString" ? byte_string(typing)
                                                        : rt::from_import("typing", name));
  }
}

// TypeVar(name). A type variable takes __module__ from the calling Python frame, which
// here is the import machinery's; set it to this module so it pickles by reference.
Ref type_variable(const rt::ModuleBuilder& m, const char* name) {
  Ref variable = rt::call(m.get("TypeVar"), {rt::str(name)});
  rt::setattr(variable, "__module__", m.get("__name__"));
  return variable;
}

// a = b = ... = getattr(<hook>, class_name): one class under several names.
void bind_distribution(rt::ModuleBuilder& m, const char* hook, const char* class_name,
                       std::initializer_list<const char*> aliases) {
  Ref cls = rt::getattr(m.get(hook), class_name);
  for (const char* alias : aliases) m.bind(alias, cls);
}

void exec_annotix(rt::ModuleBuilder& m) {
  import_typing_names(m);
  m.bind("np_ndarray", rt::from_import("numpy", "ndarray"));
  m.bind("dataclass", rt::from_import("dataclasses", "dataclass"));
  m.bind("st", rt::import_module("scipy.stats"));
  m.bind("DataFrame", rt::from_import("pandas", "DataFrame"));
  m.bind("np", rt::import_module("numpy"));
  cuda_switch(m);
  m.bind("__all__", export_names());

  m.bind("_T", make_marker_class(m));
  m.bind("T", rt::call(m.get("_T")));
  m.bind("NullType", make_null_class(m));
  m.bind("Null", rt::call(m.get("NullType")));
  m.bind("Tp", type_variable(m, "Tp"));
  m.bind("NoneType", rt::call(rt::builtin("type"), {Py_None}));
  Ref int_or_float = rt::tuple({rt::builtin("int"), rt::builtin("float")});
  m.bind("Numeric", rt::getitem(m.get("Union"), int_or_float));
  m.bind("builtin_tp", builtin_types(m));
  m.bind("typing_pure_map", typing_pure_map(m));
  m.bind("abstract_tp", abstract_names());
  if (rt::truthy(m.get("CUDA_AVAILABLE"))) {
    Ref types = m.get("builtin_tp");
    Ref cupy_array = m.get("cp_ndarray");
    if (!rt::contains(types, cupy_array)) rt::append(types, cupy_array);
  }

  m.bind("GauWisTP", rt::call(m.get("dataclass"), {make_gauss_wishart_class(m)}));

  m.bind("_bin_hook", rt::getattr(m.get("st"), "_distn_infrastructure"));
  m.bind("_multi_hook", rt::getattr(m.get("st"), "_multivariate"));
  bind_distribution(m, "_bin_hook", "rv_discrete_frozen", {"BernBinTP", "PoiTP", "NbinTP"});
  bind_distribution(m, "_multi_hook", "multinomial_frozen", {"CatMultTP"});
  bind_distribution(m, "_bin_hook", "rv_continuous_frozen",
                    {"BetaTP", "GamTP", "GauTP", "ExpTP", "ErlTP"});
  bind_distribution(m, "_multi_hook", "dirichlet_frozen", {"DirTP"});
  bind_distribution(m, "_multi_hook", "dirichlet_multinomial_frozen", {"DirMultTP"});
  bind_distribution(m, "_multi_hook", "multivariate_normal_frozen", {"MGauTP"});
  bind_distribution(m, "_multi_hook", "wishart_frozen", {"WisTP"});
  bind_distribution(m, "_multi_hook", "multivariate_t_frozen", {"StuTP"});
}

}  // namespace
}  // namespace orvane::annotix

ORVANE_MODULE(annotix, orvane::annotix::exec_annotix)
