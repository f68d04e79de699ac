// The attributes of a native function, with the rules and error texts of CPython's
// own function object; and __signature__, built from the current attributes.
#include "function_object.hpp"
#include "orvane/rt/error.hpp"
#include "orvane/rt/object.hpp"

namespace orvane::rt::detail {
namespace {

FunctionFields& fields(PyObject* self) {
  return as_function(self)->f;
}

PyObject* or_none(const Ref& ref) {
  return Py_NewRef(ref ? ref.get() : Py_None);
}

int set_string(Ref& field, PyObject* value, const char* message) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  field = Ref::borrow(value);
  return 0;
}

// A field that holds `type` or nothing (None and deletion both clear it).
int set_optional(Ref& field, PyObject* value, bool (*accepts)(PyObject*), const char* message) {
  if (value == nullptr || value == Py_None) {
    field.reset();
    return 0;
  }
  if (!accepts(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  field = Ref::borrow(value);
  return 0;
}

bool is_tuple(PyObject* value) {
  return PyTuple_Check(value);
}
bool is_dict(PyObject* value) {
  return PyDict_Check(value);
}

PyObject* get_name(PyObject* self, void*) {
  return or_none(fields(self).name);
}
int set_name(PyObject* self, PyObject* value, void*) {
  return set_string(fields(self).name, value, "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*) {
  return or_none(fields(self).qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_string(fields(self).qualname, value, "__qualname__ must be set to a string object");
}

PyObject* get_module(PyObject* self, void*) {
  return or_none(fields(self).module);
}
int set_module(PyObject* self, PyObject* value, void*) {
  fields(self).module = Ref::borrow(value);
  return 0;
}

PyObject* get_doc(PyObject* self, void*) {
  return or_none(fields(self).doc);
}
int set_doc(PyObject* self, PyObject* value, void*) {
  fields(self).doc = Ref::borrow(value == nullptr ? Py_None : value);
  return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
  return or_none(fields(self).defaults);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
  return set_optional(fields(self).defaults, value, is_tuple,
                      "__defaults__ must be set to a tuple object");
}

PyObject* get_kwdefaults(PyObject* self, void*) {
  return or_none(fields(self).kwdefaults);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
  return set_optional(fields(self).kwdefaults, value, is_dict,
                      "__kwdefaults__ must be set to a dict object");
}

PyObject* get_annotations(PyObject* self, void*) {
  Ref& annotations = fields(self).annotations;
  if (!annotations) {
    annotations = Ref::steal_or_null(PyDict_New());
    if (!annotations) return nullptr;
  }
  return Py_NewRef(annotations.get());
}
int set_annotations(PyObject* self, PyObject* value, void*) {
  return set_optional(fields(self).annotations, value, is_dict,
                      "__annotations__ must be set to a dict object");
}

PyObject* get_globals(PyObject* self, void*) {
  return or_none(fields(self).globals);
}
PyObject* get_builtins(PyObject* self, void*) {
  return or_none(fields(self).builtins);
}

PyObject* get_type_params(PyObject* self, void*) {
  const Ref& type_params = fields(self).type_params;
  return type_params ? Py_NewRef(type_params.get()) : PyTuple_New(0);
}
int set_type_params(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
    return -1;
  }
  fields(self).type_params = Ref::borrow(value);
  return 0;
}

// The signature that inspect reports for a Python function with the same
// parameters, current defaults and current annotations.
Ref build_signature(PyObject* self) {
  FunctionObject* function = as_function(self);
  const FunctionFields& f = function->f;
  Ref inspect = import_module("inspect");
  Ref parameter_type = getattr(inspect, "Parameter");
  Ref empty = getattr(parameter_type, "empty");
  Ref annotations = f.annotations ? f.annotations : new_dict();
  Ref defaults = f.defaults ? f.defaults : tuple({});
  Py_ssize_t positional = 0;
  for (const Param& param : function->spec->params) {
    if (param.kind == ParamKind::PositionalOrKeyword) ++positional;
  }
  Py_ssize_t defcount = PyTuple_GET_SIZE(defaults.get());
  Py_ssize_t first_default = positional - defcount;

  Ref parameters = new_list();
  Py_ssize_t index = 0;
  for (const Param& param : function->spec->params) {
    const char* kind_name = param.kind == ParamKind::PositionalOrKeyword ? "POSITIONAL_OR_KEYWORD"
                            : param.kind == ParamKind::VarPositional     ? "VAR_POSITIONAL"
                                                                         : "VAR_KEYWORD";
    Ref default_value = empty;
    if (param.kind == ParamKind::PositionalOrKeyword && index >= first_default) {
      default_value = Ref::borrow(PyTuple_GET_ITEM(defaults.get(), index - first_default));
    }
    Ref annotation = dict_get(annotations, param.name, empty);
    append(parameters, call(parameter_type, {str(param.name), getattr(parameter_type, kind_name)},
                            {{"default", default_value}, {"annotation", annotation}}));
    ++index;
  }
  Ref return_annotation =
      dict_get(annotations, "return", getattr(getattr(inspect, "Signature"), "empty"));
  return call(getattr(inspect, "Signature"), {parameters},
              {{"return_annotation", return_annotation}});
}

// An explicitly assigned __signature__ lives in the instance dict and wins.
PyObject* get_signature(PyObject* self, void*) {
  return boundary([&]() -> Ref {
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    PyObject* assigned = nullptr;
    if (PyDict_GetItemStringRef(dict.get(), "__signature__", &assigned) < 0) throw_error_set();
    if (assigned != nullptr) return Ref::steal(assigned);
    return build_signature(self);
  });
}
int set_signature(PyObject* self, PyObject* value, void*) {
  return boundary_status([&] {
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (value != nullptr) {
      set_key(dict, "__signature__", value);
    } else if (PyDict_DelItemString(dict.get(), "__signature__") < 0) {
      PyErr_SetString(PyExc_AttributeError, "__signature__");
      throw_error_set();
    }
  });
}

}  // namespace

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace orvane::rt::detail
