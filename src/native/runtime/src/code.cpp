// The code object of a native function: what inspect, tracebacks and profilers read off
// a Python function's __code__, with the C++ source as its file and line.
#include "function_object.hpp"
#include "orvane/rt/object.hpp"

namespace orvane::rt::detail {

Ref make_code(const FunctionSpec& spec, PyObject* qualname) {
  Py_ssize_t positional = 0;
  int flags = CO_OPTIMIZED | CO_NEWLOCALS;  // as for every function made by `def`
  Ref varnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(spec.params.size())));
  Py_ssize_t index = 0;
  for (const Param& param : spec.params) {
    switch (param.kind) {
      case ParamKind::PositionalOrKeyword:
        ++positional;
        break;
      case ParamKind::VarPositional:
        flags |= CO_VARARGS;
        break;
      case ParamKind::VarKeyword:
        flags |= CO_VARKEYWORDS;
        break;
    }
    PyTuple_SET_ITEM(varnames.get(), index++, str(param.name).release());
  }
  const auto line = static_cast<int>(spec.where.line());
  Ref empty = Ref::steal(
      reinterpret_cast<PyObject*>(PyCode_NewEmpty(spec.where.file_name(), spec.name, line)));
  // replace() keeps the locals layout consistent with the new names and counts.
  Ref replace = getattr(empty, "replace");
  return call(replace, {},
              {{"co_argcount", integer(positional)},
               {"co_posonlyargcount", integer(0)},
               {"co_kwonlyargcount", integer(0)},
               {"co_nlocals", integer(PyTuple_GET_SIZE(varnames.get()))},
               {"co_varnames", varnames},
               {"co_flags", integer(flags)},
               {"co_qualname", qualname}});
}

}  // namespace orvane::rt::detail
