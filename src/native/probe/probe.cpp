// orvane.basic._runtime_probe: native functions with the parameter shapes and
// failure modes that the modules use, so the tests can hold the runtime itself to
// Python's behaviour (binding, entry checks, name lookups, the error boundary).
#include <new>
#include <stdexcept>
#include <string_view>

#include "orvane/rt/runtime.hpp"

namespace orvane::probe {
namespace {

using rt::Ref;

// Returns the bound arguments as a tuple, in parameter order.
template <std::size_t N>
Ref echo_body(rt::Call& call) {
  Ref items = Ref::steal(PyTuple_New(N));
  for (std::size_t index = 0; index < N; ++index) {
    PyTuple_SET_ITEM(items.get(), index, Py_NewRef(call.arg(index)));
  }
  return items;
}

constexpr rt::Param kMixed[] = {
    {.name = "x", .annotation = "np.ndarray"},
    {.name = "y"},
    {.name = "z", .annotation = "int"},
    {.name = "args", .kind = rt::ParamKind::VarPositional},
    {.name = "kwargs", .kind = rt::ParamKind::VarKeyword},
};
const rt::FunctionSpec mixed{
    .name = "mixed", .params = kMixed, .body = echo_body<5>, .return_annotation = "tuple"};

const rt::Param kChecked[] = {
    {.name = "data"},
    {.name = "__tol", .annotation = "int", .exact_type = &PyLong_Type},
    {.name = "sp", .annotation = "list", .exact_type = &PyList_Type},
};
const rt::FunctionSpec checked{.name = "checked", .params = kChecked, .body = echo_body<3>};

constexpr rt::Param kStarArgs[] = {{.name = "args", .kind = rt::ParamKind::VarPositional}};
const rt::FunctionSpec star_args{.name = "<lambda>", .params = kStarArgs, .body = echo_body<1>};

constexpr rt::Param kKeywords[] = {{.name = "params", .kind = rt::ParamKind::VarKeyword}};
const rt::FunctionSpec keywords{.name = "keywords", .params = kKeywords, .body = echo_body<1>};

// lookup(name): the module-level name as a function body would read it.
Ref lookup_body(rt::Call& call) {
  Py_ssize_t size = 0;
  const char* name = PyUnicode_AsUTF8AndSize(call.arg(0), &size);
  if (name == nullptr) rt::throw_error_set();
  return call.global(name);
}
constexpr rt::Param kLookup[] = {{.name = "name"}};
const rt::FunctionSpec lookup{.name = "lookup", .params = kLookup, .body = lookup_body};

// fail(kind): raises through each path of the error boundary.
Ref fail_body(rt::Call& call) {
  std::string_view kind = PyUnicode_AsUTF8AndSize(call.arg(0), nullptr);
  if (kind == "python") rt::raise(PyExc_ValueError, "raised as a Python error");
  if (kind == "bad_alloc") throw std::bad_alloc();
  if (kind == "runtime") throw std::runtime_error("a C++ failure");
  if (kind == "unknown") throw 42;
  if (kind == "unset") throw rt::ErrorSet{};
  return rt::none();
}
constexpr rt::Param kFail[] = {{.name = "kind", .exact_type = &PyUnicode_Type}};
const rt::FunctionSpec fail{.name = "fail", .params = kFail, .body = fail_body};

// store(self, value=None): sets self.value and returns None, like an __init__.
Ref store_body(rt::Call& call) {
  rt::setattr(call.arg(0), "value", call.arg(1));
  return rt::none();
}
constexpr rt::Param kStore[] = {{.name = "self"}, {.name = "value"}};
const rt::FunctionSpec store{.name = "store", .params = kStore, .body = store_body};

// untouched(): whether `answer` and `lookup` are still the objects bound at import.
Ref untouched_body(rt::Call& call) {
  return rt::boolean(call.bound_at_import({"answer", "lookup"}));
}
const rt::FunctionSpec untouched{.name = "untouched", .params = {}, .body = untouched_body};

// a, b = value; return (a, b)
Ref unpack_pair_body(rt::Call& call) {
  auto [a, b] = rt::unpack<2>(call.arg(0));
  return rt::tuple({a, b});
}
constexpr rt::Param kUnpackPair[] = {{.name = "value"}};
const rt::FunctionSpec unpack_pair{
    .name = "unpack_pair", .params = kUnpackPair, .body = unpack_pair_body};

void exec_probe(rt::ModuleBuilder& m) {
  m.bind("mixed", m.function(mixed, rt::tuple({rt::integer(3)})));
  m.bind("checked", m.function(checked, rt::tuple({rt::integer(1), rt::list({})})));
  m.bind("star_args", m.function(star_args));
  m.bind("keywords", m.function(keywords));
  m.bind("lookup", m.function(lookup));
  m.bind("fail", m.function(fail));
  m.bind("store", m.function(store, rt::tuple({rt::none()})));
  m.bind("untouched", m.function(untouched));
  m.bind("unpack_pair", m.function(unpack_pair));
  m.bind("answer", rt::str("forty-two"));
}

}  // namespace
}  // namespace orvane::probe

ORVANE_MODULE(_runtime_probe, orvane::probe::exec_probe)
