// The attributes of a native function, with the rules and error texts of CPython's
// own function object. There is no __signature__: inspect reads __code__, __defaults__,
// __kwdefaults__, __annotations__ and __globals__ as it does for a Python function.
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

// __annotations__ and __annotate__ are the annotation holder's (see annotations.cpp).
Ref annotation_holder(PyObject* self) {
  FunctionObject* function = as_function(self);
  if (!function->f.annotation_holder) {
    Ref qualname = getattr(function->f.code, "co_qualname");  // the name first given
    Ref holder = make_annotation_holder(*function->spec, qualname.get(), function->f.globals.get());
    // Making it ran Python code: another thread may have made one meanwhile.
    if (!function->f.annotation_holder) function->f.annotation_holder = std::move(holder);
  }
  return function->f.annotation_holder;
}

PyObject* get_held(PyObject* self, void* name) {
  return boundary([&] { return getattr(annotation_holder(self), static_cast<const char*>(name)); });
}
int set_held(PyObject* self, PyObject* value, void* name) {
  return boundary_status([&] {
    Ref holder = annotation_holder(self);
    const int status =
        value != nullptr
            ? PyObject_SetAttrString(holder.get(), static_cast<const char*>(name), value)
            : PyObject_DelAttrString(holder.get(), static_cast<const char*>(name));
    if (status < 0) throw_error_set();
  });
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

PyObject* get_code(PyObject* self, void*) {
  return or_none(fields(self).code);
}
// What makes a code object describe a function: a code object that differs from the
// function's own only in its bytecode, line table or constants describes the same one.
constexpr const char* kDescribingFields[] = {
    "co_name",     "co_qualname",        "co_filename",       "co_firstlineno",
    "co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_flags",
    "co_varnames", "co_freevars",        "co_cellvars"};

bool describes_the_same_function(PyObject* current, PyObject* code) {
  for (const char* field : kDescribingFields) {
    if (!equals(getattr(current, field), getattr(code, field))) return false;
  }
  return true;
}

// A code object cannot stand in for the C++ body, so none of another function is accepted
// (anything that is no code object is refused with the text a Python function gives). A
// copy of the function's own with other bytecode is: line profilers pad the bytecode of
// each function they watch and assign the copy. It then names the function to tools
// (profilers, tracebacks); no line of it ever runs.
int set_code(PyObject* self, PyObject* value, void*) {
  return boundary_status([&] {
    if (value == nullptr || !PyCode_Check(value)) {
      raise(PyExc_TypeError, "__code__ must be set to a code object");
    }
    Ref& code = fields(self).code;
    if (!code || !describes_the_same_function(code.get(), value)) {
      raise(PyExc_TypeError,
            "__code__ of a native function cannot be replaced: its body is C++ code");
    }
    code = Ref::borrow(value);
  });
}

// No free variables: __closure__ reads None.
PyObject* get_closure(PyObject*, void*) {
  Py_RETURN_NONE;
}

// __closure__, __globals__ and __builtins__ refuse writes and deletion as a Python
// function's read-only members do.
int set_readonly(PyObject*, PyObject*, void*) {
  PyErr_SetString(PyExc_AttributeError, "readonly attribute");
  return -1;
}

}  // namespace

PyGetSetDef function_getset[] = {
    {"__annotate__", get_held, set_held, nullptr, const_cast<char*>("__annotate__")},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_held, set_held, nullptr, const_cast<char*>("__annotations__")},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", get_globals, set_readonly, nullptr, nullptr},
    {"__builtins__", get_builtins, set_readonly, nullptr, nullptr},
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__code__", get_code, set_code, nullptr, nullptr},
    {"__closure__", get_closure, set_readonly, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace orvane::rt::detail
