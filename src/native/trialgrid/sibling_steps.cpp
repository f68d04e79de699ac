// What the sibling helpers do for every trial, done here while they are the functions seen
// at import (the same function objects, their code unchanged, the names they read unpatched):
// FuncTools.test_for's runner and concise_expr. Same calls of the function under test, same
// reads of the clock, same results; without entering Python code three times per trial and
// without the closures and dicts the helpers make on the way.
#include "sibling_steps.hpp"

#include <string_view>
#include <vector>

namespace orvane::trialgrid {

using rt::Handle;
using rt::Ref;

bool run_test_for(const rt::Call& call, Handle trial, Handle data, Ref& result, Ref& cost) {
  if (!call.bound_at_import({"FuncTools.test_for.__code__", "funcs.time.perf_counter"})) {
    return false;
  }
  // test_for(**kw) with kw a copy of the trial and "~in_decorator" False keeps
  // call_kw = {name: value for name, value in kw.items() if not name.startswith("~")}:
  // the trial's entries but those whose name starts with "~", in the trial's order. Taken
  // as keywords of one call: only exact str names (another name is refused by the ** call,
  // a str subclass may answer startswith otherwise), so nothing here runs Python code. The
  // values are held: the function under test may reach the trial and clear it.
  std::vector<Ref> values;
  Ref names = rt::new_list();
  PyObject* name = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(trial.get(), &position, &name, &value)) {
    if (!PyUnicode_CheckExact(name)) return false;
    if (PyUnicode_GET_LENGTH(name) > 0 && PyUnicode_READ_CHAR(name, 0) == '~') continue;
    rt::append(names, name);
    values.push_back(Ref::borrow(value));
  }
  Ref kwnames = Ref::steal(PyList_AsTuple(names.get()));
  std::vector<PyObject*> stack{nullptr};
  for (const Ref& held : values) stack.push_back(held.get());
  // start = time.perf_counter(); result = func(**call_kw)
  // return result, time.perf_counter() - start
  Ref clock = call.imported("funcs.time.perf_counter");
  Ref start = rt::call(clock);
  result = Ref::steal(PyObject_Vectorcall(data.get(), stack.data() + 1,
                                          PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
  Ref end = rt::call(clock);
  cost = Ref::steal(PyNumber_Subtract(end.get(), start.get()));
  return true;
}

namespace {

// f"{prefix}{first}{middle}{second})": each value formatted as an f-string formats it.
Ref describe(std::string_view prefix, Handle first, std::string_view middle, Handle second) {
  Ref parts = rt::list({rt::str(prefix), Ref::steal(PyObject_Format(first.get(), nullptr))});
  if (second.get() != nullptr) {
    rt::append(parts, rt::str(middle));
    rt::append(parts, Ref::steal(PyObject_Format(second.get(), nullptr)));
  }
  rt::append(parts, rt::str(")"));
  return Ref::steal(PyUnicode_Join(rt::str("").get(), parts.get()));
}

// sys.modules.get(name), sys.modules being the import-time dict.
Ref loaded(const rt::Call& call, const char* name) {
  return rt::dict_get(call.imported("funcs.sys.modules"), call.name(name), Py_None);
}

// isinstance(obj, module.<type_name>)
bool is_instance(const rt::Call& call, Handle obj, Handle module, const char* type_name) {
  Ref type = rt::getattr(module, call.name(type_name));
  const int found = PyObject_IsInstance(obj.get(), type.get());
  if (found < 0) rt::throw_error_set();
  return found != 0;
}

}  // namespace

Ref concise(const rt::Call& call, Handle obj) {
  // The built-ins it calls, as its body reads them: not shadowed in its module.
  Ref helpers = call.imported("funcs");
  for (const char* builtin : {"isinstance", "repr", "len"}) {
    if (rt::dict_get(PyModule_GetDict(helpers.get()), call.name(builtin), nullptr)) return {};
  }
  if (!call.bound_at_import({"concise_expr.__code__", "funcs.sys.modules", "funcs.re.sub",
                             "funcs._MAX_EXPR_LEN", "isinstance", "repr", "len"})) {
    return {};
  }
  Ref numpy = loaded(call, "numpy");
  if (numpy.get() != Py_None && is_instance(call, obj, numpy, "ndarray")) {
    Ref shape = rt::getattr(obj, call.name("shape"));
    Ref dtype = rt::getattr(obj, call.name("dtype"));
    return describe("ndarray(shape=", shape, ", dtype=", dtype);
  }
  Ref pandas = loaded(call, "pandas");
  if (pandas.get() != Py_None) {
    if (is_instance(call, obj, pandas, "DataFrame")) {
      return describe("DataFrame(shape=", rt::getattr(obj, call.name("shape")), "", nullptr);
    }
    if (is_instance(call, obj, pandas, "Series")) {
      Ref length = rt::integer(PyObject_Length(obj.get()));
      if (PyErr_Occurred()) rt::throw_error_set();
      Ref dtype = rt::getattr(obj, call.name("dtype"));
      return describe("Series(len=", length, ", dtype=", dtype);
    }
  }
  // re.sub(r"\s*\n\s*", " ", repr(obj)): the pattern matches nothing without a newline.
  Ref text = rt::repr(obj);
  if (PyUnicode_FindChar(text.get(), '\n', 0, PyUnicode_GET_LENGTH(text.get()), 1) != -1) {
    text = rt::call(call.imported("funcs.re.sub"), {rt::str("\\s*\\n\\s*"), rt::str(" "), text});
  }
  // if len(text) > _MAX_EXPR_LEN: text = text[: _MAX_EXPR_LEN - 3] + "..."
  Ref limit = call.imported("funcs._MAX_EXPR_LEN");
  Ref length = rt::integer(PyObject_Length(text.get()));
  if (PyErr_Occurred()) rt::throw_error_set();
  if (rt::truthy(rt::compare(length, limit, Py_GT))) {
    Ref end = Ref::steal(PyNumber_Subtract(limit.get(), rt::integer(3).get()));
    Ref cut = rt::getitem(text, Ref::steal(PySlice_New(nullptr, end.get(), nullptr)));
    text = rt::add(cut, rt::str("..."));
  }
  return text;
}

}  // namespace orvane::trialgrid
