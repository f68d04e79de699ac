// The two stages of the experiment pipeline: run the grid, then file its table.
#include "trialgrid.hpp"

namespace orvane::trialgrid {
namespace {

using rt::Ref;

// Stage 1: (table, function under test, branch comment).
Ref grid_body(rt::Call& call) {
  PyObject* kwargs = call.arg(0);
  Ref table =
      rt::call_with(call.global("traversal_on_params"), rt::tuple({}), rt::dict_copy(kwargs));
  Ref data = rt::dict_get(kwargs, "data", Py_None);
  Ref branch_comment = rt::dict_get(kwargs, "branch_comment", rt::str(""));
  return rt::tuple({table, data, branch_comment});
}

// Stage 2: the store read from `to_file` (or a new dict) with the table filed under
// "<branch comment> <function name>", or the function name alone.
Ref store_body(rt::Call& call) {
  PyObject* kwargs = call.arg(0);
  Ref to_file = rt::dict_get(kwargs, "to_file", Py_None);
  // Without a store path there is nothing to load: os.path.exists(None) would raise.
  bool exists = to_file.get() != Py_None &&
                rt::truthy(rt::call(rt::getattr(rt::getattr(call.global("os"), "path"), "exists"),
                                    {to_file}));
  Ref store = exists ? rt::call(call.global("_load"), {},
                                {{"data", rt::dict_get(kwargs, "to_file", Py_None)}})
                     : rt::new_dict();
  Ref staged = rt::dict_get(kwargs, "data", Py_None);
  Ref branch_comment = rt::getitem(staged, 2);
  Ref name = rt::truthy(branch_comment) ? rt::add(branch_comment, rt::str(" ")) : Ref{};
  Ref function_name = rt::getattr(rt::getitem(staged, 1), "__name__");
  name = name ? rt::add(name, function_name) : function_name;
  Ref entry = rt::new_dict();
  rt::setitem(entry, name, rt::getitem(staged, 0));
  rt::call_method(store, "update", {entry});
  return store;
}

constexpr rt::Param kStageParams[] = {{.name = "kwargs", .kind = rt::ParamKind::VarKeyword}};

}  // namespace

const rt::FunctionSpec grid_stage{.name = "<lambda>", .params = kStageParams, .body = grid_body};
const rt::FunctionSpec store_stage{.name = "<lambda>", .params = kStageParams, .body = store_body};

}  // namespace orvane::trialgrid
