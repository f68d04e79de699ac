// Module initialisation of orvane.basic.trialgrid: its statements, in order.
#include "trialgrid.hpp"

namespace orvane::trialgrid {
namespace {

using rt::Ref;

// attach_attr(docstring=..., orvane_func=True, entry_tp=..., return_tp=...)
Ref package_decorator(rt::ModuleBuilder& m, const char* doc_name, rt::Handle entry_tp,
                      rt::Handle return_tp) {
  Ref attach_attr = rt::getattr(m.get("FuncTools"), "attach_attr");
  Ref docstring = rt::getattr(m.get("doc"), doc_name);
  return rt::call(attach_attr, {},
                  {{"docstring", docstring},
                   {"orvane_func", Py_True},
                   {"entry_tp", entry_tp},
                   {"return_tp", return_tp}});
}

void exec_trialgrid(rt::ModuleBuilder& m) {
  m.bind("doc", rt::import_module("orvane.docfunc"));
  m.bind("product", rt::from_import("itertools", "product"));
  m.bind("Callable", rt::from_import("typing", "Callable"));
  m.bind("pd", rt::import_module("pandas"));
  m.bind("DataFrame", rt::from_import("pandas", "DataFrame"));
  m.bind("os", rt::import_module("os"));

  // __import__ with a non-empty fromlist returns the submodule itself.
  Ref import = rt::builtin("__import__");
  m.bind("funcs", rt::call(import, {rt::str("orvane.basic.functions")},
                           {{"fromlist", rt::list({rt::str("FuncTools")})}}));
  m.bind("core", rt::call(import, {rt::str("orvane.basic.core")},
                          {{"fromlist", rt::list({rt::str("F")})}}));
  Ref core = m.get("core");
  Ref funcs = m.get("funcs");
  m.bind("F", rt::getattr(core, "F"));
  m.bind("Unit", rt::getattr(core, "Unit"));
  m.bind("FuncTools", rt::getattr(funcs, "FuncTools"));
  m.bind("assert_orvane_raiser", rt::getattr(funcs, "assert_orvane_raiser"));
  m.bind("concise_expr", rt::getattr(funcs, "concise_expr"));
  m.bind("_load", rt::getattr(funcs, "_load"));
  // What the trial runner's native steps stand in for (sibling_steps.cpp), as it is now:
  // the helpers' functions and code, the names they read, the built-ins the rows use.
  for (const char* path : {"FuncTools.test_for.__code__", "funcs.time.perf_counter",
                           "concise_expr.__code__", "funcs.sys.modules", "funcs.re.sub",
                           "funcs._MAX_EXPR_LEN", "isinstance", "repr", "len", "str", "id"}) {
    m.remember(path);
  }

  m.bind("_prompt_err_case", m.function(prompt_err_case));

  Ref decorate = package_decorator(m, "traversal_on_params", m.get("Callable"), m.get("DataFrame"));
  m.bind("traversal_on_params", rt::call(decorate, {m.function(traversal_on_params)}));

  Ref wrap = m.get("F");
  Ref stage1 = rt::call(wrap, {m.function(grid_stage)});
  Ref stage2 = rt::call(wrap, {m.function(store_stage)});
  m.bind("_meta", rt::call(m.get("Unit"), {}, {{"mappings", rt::list({stage1, stage2})}}));
  Ref meta = m.get("_meta");
  m.bind("experiments", rt::call_method(meta, "shadow", {}, {{"concise_result", Py_False}}));
  m.bind("functest", rt::call_method(meta, "shadow", {}, {{"concise_result", Py_True}}));
  Ref doc = m.get("doc");
  // doc.redoc(experiments, doc.experiments): the method is read before its arguments.
  for (const char* variant : {"experiments", "functest"}) {
    Ref redoc = rt::getattr(doc, "redoc");
    rt::call(redoc, {m.get(variant), rt::getattr(doc, variant)});
  }

  Ref list_of_bool = rt::call_method(reinterpret_cast<PyObject*>(&PyList_Type), "__class_getitem__",
                                     {reinterpret_cast<PyObject*>(&PyBool_Type)});
  decorate = package_decorator(m, "diagnosing_tests", m.get("DataFrame"), list_of_bool);
  m.bind("diagnosing_tests", rt::call(decorate, {m.function(diagnosing_tests)}));
}

}  // namespace
}  // namespace orvane::trialgrid

ORVANE_MODULE(trialgrid, orvane::trialgrid::exec_trialgrid)
