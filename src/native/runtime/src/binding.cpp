// Argument binding with the interpreter's own rules and messages (CPython 3.13's
// initialize_locals, too_many_positional and missing_arguments).
#include "function_object.hpp"
#include "orvane/rt/object.hpp"

namespace orvane::rt::detail {
namespace {

struct Layout {
  Py_ssize_t positional = 0;  // positional-or-keyword parameters
  Py_ssize_t varargs = -1;    // slot of *args, or -1
  Py_ssize_t varkw = -1;      // slot of **kwargs, or -1
};

Layout layout_of(const FunctionSpec& spec) {
  Layout layout;
  Py_ssize_t index = 0;
  for (const Param& param : spec.params) {
    switch (param.kind) {
      case ParamKind::PositionalOrKeyword:
        ++layout.positional;
        break;
      case ParamKind::VarPositional:
        layout.varargs = index;
        break;
      case ParamKind::VarKeyword:
        layout.varkw = index;
        break;
    }
    ++index;
  }
  return layout;
}

[[noreturn]] void too_many_positional(FunctionObject* function, const Layout& layout,
                                      Py_ssize_t given, Py_ssize_t defcount) {
  Ref signature;
  bool plural;
  if (defcount != 0) {
    plural = true;
    signature = Ref::steal(
        PyUnicode_FromFormat("from %zd to %zd", layout.positional - defcount, layout.positional));
  } else {
    plural = layout.positional != 1;
    signature = Ref::steal(PyUnicode_FromFormat("%zd", layout.positional));
  }
  raise_format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given",
               function->f.qualname.get(), signature.get(), plural ? "s" : "", given,
               Ref::steal(PyUnicode_FromString("")).get(), given == 1 ? "was" : "were");
}

[[noreturn]] void missing_arguments(FunctionObject* function, const BoundArgs& bound,
                                    Py_ssize_t end) {
  Ref names = new_list();
  for (Py_ssize_t index = 0; index < end; ++index) {
    if (bound.slots[index] == nullptr) append(names, repr(str(function->spec->params[index].name)));
  }
  Py_ssize_t count = PyList_GET_SIZE(names.get());
  Ref joined;
  if (count == 1) {
    joined = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
  } else if (count == 2) {
    joined = Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                             PyList_GET_ITEM(names.get(), 1)));
  } else {
    Ref tail =
        Ref::steal(PyUnicode_FromFormat("%U, and %U", PyList_GET_ITEM(names.get(), count - 2),
                                        PyList_GET_ITEM(names.get(), count - 1)));
    Ref head = Ref::steal(PyList_GetSlice(names.get(), 0, count - 2));
    append(head, tail);
    joined = Ref::steal(PyUnicode_Join(str(", ").get(), head.get()));
  }
  raise_format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U",
               function->f.qualname.get(), static_cast<int>(count), "positional",
               count == 1 ? "" : "s", joined.get());
}

// Index of the positional-or-keyword parameter named `keyword`, or -1.
Py_ssize_t find_parameter(const FunctionSpec& spec, const Layout& layout, PyObject* keyword) {
  for (Py_ssize_t index = 0; index < layout.positional; ++index) {
    if (PyUnicode_EqualToUTF8(keyword, spec.params[index].name)) return index;
  }
  return -1;
}

[[noreturn]] void unexpected_keyword(FunctionObject* function, PyObject* keyword) {
  Ref suggestion = suggest_keyword(*function->spec, keyword);
  if (suggestion) {
    raise_format(PyExc_TypeError,
                 "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                 function->f.qualname.get(), keyword, suggestion.get());
  }
  raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
               function->f.qualname.get(), keyword);
}

void check_entry_types(FunctionObject* function, const BoundArgs& bound) {
  Py_ssize_t index = 0;
  for (const Param& param : function->spec->params) {
    PyObject* value = bound.slots[index++];
    if (param.exact_type != nullptr && value != nullptr && Py_TYPE(value) != param.exact_type) {
      raise_format(PyExc_TypeError,
                   "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param.name,
                   param.exact_type->tp_name, Py_TYPE(value)->tp_name);
    }
  }
}

}  // namespace

void bind_arguments(FunctionObject* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& bound) {
  const FunctionSpec& spec = *function->spec;
  const Layout layout = layout_of(spec);

  Py_ssize_t copied = nargs < layout.positional ? nargs : layout.positional;
  for (Py_ssize_t index = 0; index < copied; ++index) bound.slots[index] = args[index];
  if (layout.varargs >= 0) {
    bound.varargs = Ref::steal(PyTuple_New(nargs - copied));
    for (Py_ssize_t index = copied; index < nargs; ++index) {
      PyTuple_SET_ITEM(bound.varargs.get(), index - copied, Py_NewRef(args[index]));
    }
    bound.slots[layout.varargs] = bound.varargs.get();
  }
  if (layout.varkw >= 0) {
    bound.varkw = new_dict();
    bound.slots[layout.varkw] = bound.varkw.get();
  }

  // Keywords first, in the order given; then the positional count; then missing ones.
  Py_ssize_t kwcount = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < kwcount; ++i) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
    PyObject* value = args[nargs + i];
    if (!PyUnicode_Check(keyword)) {
      raise_format(PyExc_TypeError, "%U() keywords must be strings", function->f.qualname.get());
    }
    Py_ssize_t index = find_parameter(spec, layout, keyword);
    if (index < 0) {
      if (!bound.varkw) unexpected_keyword(function, keyword);
      setitem(bound.varkw, keyword, value);
      continue;
    }
    if (bound.slots[index] != nullptr) {
      raise_format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                   function->f.qualname.get(), keyword);
    }
    bound.slots[index] = value;
  }

  bound.defaults = function->f.defaults;
  Py_ssize_t defcount = bound.defaults ? PyTuple_GET_SIZE(bound.defaults.get()) : 0;
  if (nargs > layout.positional && layout.varargs < 0) {
    too_many_positional(function, layout, nargs, defcount);
  }
  if (nargs < layout.positional) {
    // Parameters from `first_default` on take their defaults from the tuple's tail.
    Py_ssize_t first_default = layout.positional - defcount;
    for (Py_ssize_t index = nargs; index < first_default; ++index) {
      if (bound.slots[index] == nullptr) missing_arguments(function, bound, first_default);
    }
    Py_ssize_t start = first_default > nargs ? first_default : nargs;
    for (Py_ssize_t index = start; index < layout.positional; ++index) {
      if (bound.slots[index] == nullptr) {
        bound.slots[index] = PyTuple_GET_ITEM(bound.defaults.get(), index - first_default);
      }
    }
  }
  check_entry_types(function, bound);
}

}  // namespace orvane::rt::detail
