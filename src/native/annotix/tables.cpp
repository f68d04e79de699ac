// The vocabulary's lists and maps, each entry read by name as module-level code would.
#include <initializer_list>

#include "annotix.hpp"

namespace orvane::annotix {
namespace {

rt::Ref string_list(std::initializer_list<const char*> names) {
  rt::Ref items = rt::new_list();
  for (const char* name : names) rt::append(items, rt::str(name));
  return items;
}

}  // namespace

rt::Ref export_names() {
  return string_list({"T",           "Tp",         "Null",       "NullType",
                      "NoneType",    "Numeric",    "builtin_tp", "typing_pure_map",
                      "abstract_tp", "np_ndarray", "BernBinTP",  "CatMultTP",
                      "BetaTP",      "DirTP",      "DirMultTP",  "PoiTP",
                      "NbinTP",      "GamTP",      "ExpTP",      "ErlTP",
                      "GauTP",       "MGauTP",     "WisTP",      "StuTP",
                      "GauWisTP"});
}

rt::Ref builtin_types(const rt::ModuleBuilder& m) {
  // Ellipsis is the object itself, not its type.
  rt::Ref types = rt::new_list();
  for (const char* name : {"NoneType", "NullType", "Ellipsis", "bool", "str", "bytes", "int",
                           "float", "complex", "type", "set", "frozenset", "tuple", "list", "dict",
                           "object", "np_ndarray", "DataFrame", "Exception"}) {
    rt::append(types, module_level(m, name));
  }
  return types;
}

rt::Ref typing_pure_map(const rt::ModuleBuilder& m) {
  struct Entry {
    const char* key;
    const char* value;
  };
  // Mapping maps to Callable, not to itself; the abstract aliases otherwise map to
  // themselves, having no single plain type.
  static constexpr Entry kEntries[] = {
      {"ByteString", "bytes"},    {"Type", "type"},           {"Set", "set"},
      {"FrozenSet", "frozenset"}, {"Tuple", "tuple"},         {"List", "list"},
      {"Dict", "dict"},           {"Any", "object"},          {"Callable", "Callable"},
      {"Mapping", "Callable"},    {"Generator", "Generator"}, {"Sequence", "Sequence"},
      {"Iterable", "Iterable"},   {"Iterator", "Iterator"},   {"NoReturn", "NoneType"},
  };
  rt::Ref map = rt::new_dict();
  for (const Entry& entry : kEntries) {
    rt::Ref key = module_level(m, entry.key);
    rt::setitem(map, key, module_level(m, entry.value));
  }
  return map;
}

rt::Ref abstract_names() {
  return string_list({"Sequence", "Iterable", "Iterator", "Generator", "Callable", "Mapping"});
}

}  // namespace orvane::annotix
