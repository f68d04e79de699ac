// The native function type: creation, calls, method binding, GC and lifetime.
#include <algorithm>
#include <iterator>
#include <new>
#include <string>
#include <string_view>

#include "function_object.hpp"
#include "names.hpp"
#include "orvane/rt/error.hpp"
#include "orvane/rt/module.hpp"
#include "orvane/rt/object.hpp"

namespace orvane::rt {
namespace detail {
namespace {

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  FunctionObject* function = as_function(callable);
  BoundArgs bound;
  // Binding errors are raised before the body starts, as for a Python function: no
  // recursion count, no monitoring event, no traceback entry of the function.
  if (boundary_status([&] {
        bind_arguments(function, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
      }) < 0) {
    return nullptr;
  }
  return run_body(function, callable, bound);
}

void clear_fields(FunctionObject* function) {
  // Move out first: a field's destructor may run code that reads the function again.
  FunctionFields old = std::move(function->f);
  function->f = FunctionFields{};
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* function = as_function(self);
  Py_VISIT(Py_TYPE(self));
  const FunctionFields& f = function->f;
  for (const Ref* field :
       {&f.name, &f.qualname, &f.module, &f.doc, &f.defaults, &f.kwdefaults, &f.annotation_holder,
        &f.globals, &f.builtins, &f.type_params, &f.code}) {
    Py_VISIT(field->get());
  }
  return PyObject_VisitManagedDict(self, visit, arg);
}

int function_clear(PyObject* self) {
  clear_fields(as_function(self));
  PyObject_ClearManagedDict(self);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  PyObject_ClearWeakRefs(self);
  PyObject_ClearManagedDict(self);
  FunctionObject* function = as_function(self);
  clear_fields(function);
  function->f.~FunctionFields();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->f.qualname.get(), self);
}

// Like a Python function: itself from the class, a bound method from an instance.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

// Pickled by reference: pickle looks up __module__ + the name returned (copy treats the
// function as atomic). That is the __qualname__, as for a Python function; an anonymous
// function ("<lambda>") gives the module attribute it is bound to while that attribute
// is the function itself, so cloudpickle, dask and multiprocessing can ship it.
PyObject* function_reduce(PyObject* self, PyObject*) {
  const FunctionFields& f = as_function(self)->f;
  if (PyUnicode_Check(f.qualname.get()) && PyUnicode_EqualToUTF8(f.qualname.get(), "<lambda>")) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    // Identity tests only: nothing runs that could change the dict while it is walked.
    while (PyDict_Next(f.globals.get(), &position, &key, &value)) {
      if (value == self && PyUnicode_Check(key)) return Py_NewRef(key);
    }
  }
  return Py_NewRef(f.qualname.get());
}

// __module__ is kept per function, while the type's own __module__ stays the string that
// names where the type comes from (tools such as IPython read it off the type).
bool is_module_attribute(PyObject* name) {
  return PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) == 10 &&
         PyUnicode_EqualToUTF8(name, "__module__");
}

PyObject* function_getattro(PyObject* self, PyObject* name) {
  if (is_module_attribute(name)) {
    const Ref& module = as_function(self)->f.module;
    return Py_NewRef(module ? module.get() : Py_None);
  }
  return PyObject_GenericGetAttr(self, name);
}

int function_setattro(PyObject* self, PyObject* name, PyObject* value) {
  if (is_module_attribute(name)) {
    // Any object; deleting leaves None, as for a Python function.
    as_function(self)->f.module = Ref::borrow(value);
    return 0;
  }
  return PyObject_GenericSetAttr(self, name, value);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The slots of the type but its attributes, which create_function_type adds.
const PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

const PyType_Spec function_type_spec = {
    "native_function",  // prefixed by the module's name
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    nullptr,
};

// Where a function's built-ins come from: its globals' __builtins__, else the interpreter's.
Ref builtins_of(PyObject* globals) {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(globals, Ref::steal(PyUnicode_FromString("__builtins__")).get(), &found) <
      0) {
    throw_error_set();
  }
  Ref builtins = Ref::steal_or_null(found);
  if (builtins && PyModule_Check(builtins.get())) {
    return Ref::borrow(PyModule_GetDict(builtins.get()));
  }
  if (builtins) return builtins;
  return Ref::borrow(PyEval_GetBuiltins());
}

}  // namespace
}  // namespace detail

PyTypeObject* create_function_type(PyObject* module) {
  // A function has __annotate__ where the running interpreter's functions have it (3.14 on).
  // The class dict is asked: on a type, type's own __annotate__ would answer.
  const bool annotate = static_cast<bool>(type_attribute(&PyFunction_Type, "__annotate__"));
  PyGetSetDef* getset = annotate ? detail::function_getset : detail::function_getset + 1;
  PyType_Slot slots[std::size(detail::function_slots) + 1];
  std::copy(std::begin(detail::function_slots), std::end(detail::function_slots), slots);
  slots[std::size(detail::function_slots) - 1] = {Py_tp_getset, getset};
  slots[std::size(detail::function_slots)] = {0, nullptr};
  // The type belongs to the module that makes it: tools that look for a function's file
  // through its type (IPython's `?`) find the module's shared library.
  Ref module_name = getattr(module, "__name__");
  const char* prefix = PyUnicode_AsUTF8(module_name.get());
  if (prefix == nullptr) throw_error_set();
  const std::string name = std::string(prefix) + ".native_function";
  PyType_Spec spec = detail::function_type_spec;
  spec.name = name.c_str();  // copied by CPython
  spec.slots = slots;
  return reinterpret_cast<PyTypeObject*>(
      Ref::steal(PyType_FromModuleAndSpec(module, &spec, nullptr)).release());
}

Ref make_function(PyObject* module, const FunctionSpec& spec, Ref defaults, const char* qualname) {
  using detail::FunctionObject;
  if (spec.params.size() > kMaxParams) raise(PyExc_SystemError, "too many parameters");
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) throw_error_set();
  PyTypeObject* type = state->function_type;
  // tp_alloc zeroes the memory and starts GC tracking; the fields are built in place.
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  FunctionObject* function = detail::as_function(self.get());
  new (&function->f) detail::FunctionFields{};
  new (&function->monitoring) detail::MonitoringScope{};
  function->vectorcall = detail::function_vectorcall;
  function->spec = &spec;
  function->f.name = str(spec.name);
  function->f.qualname = qualname != nullptr ? str(qualname) : function->f.name;
  function->f.globals = Ref::borrow(PyModule_GetDict(module));
  function->f.module = getattr_optional(module, "__name__");
  function->f.doc = none();
  if (defaults && PyTuple_GET_SIZE(defaults.get()) != 0) function->f.defaults = std::move(defaults);
  function->f.builtins = detail::builtins_of(function->f.globals.get());
  function->f.code = detail::make_code(spec, function->f.qualname.get());
  return self;
}

namespace {

ModuleState& state_of(PyObject* function) {
  auto* state = static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(function)));
  if (state == nullptr) throw_error_set();
  return *state;
}

// The import-time object of `path`, or an empty Ref when none was recorded.
Ref recorded(const ModuleState& state, std::string_view path) {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(state.import_bindings, state.names->get(path), &found) < 0) {
    throw_error_set();
  }
  return Ref::steal_or_null(found);
}

// True when `path` ("np" or "np.linalg.norm") reads the object recorded at import. The
// attributes are read only from objects that are themselves the import-time ones, so the
// check never runs code that a caller put in place. The path comes compiled from the
// module's cache: a check costs the look-ups a body would make, no allocation.
bool path_is_original(const detail::FunctionFields& f, const ModuleState& state, const char* path) {
  const detail::CompiledPath& compiled = state.names->path(path, state.import_bindings);
  if (compiled.originals.empty()) return false;
  // The head as a body reads it: the module namespace, then the built-ins.
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(f.globals.get(), compiled.head, &found) < 0) throw_error_set();
  if (found == nullptr && PyDict_GetItemRef(f.builtins.get(), compiled.head, &found) < 0) {
    throw_error_set();
  }
  Ref current = Ref::steal_or_null(found);
  for (std::size_t index = 0;; ++index) {
    if (current.get() != compiled.originals[index].get()) return false;
    if (index == compiled.attributes.size()) return true;
    PyObject* next = nullptr;
    if (PyObject_GetOptionalAttr(current.get(), compiled.attributes[index], &next) < 0) {
      // An import-time object whose getter now raises: the plain steps, which never
      // read it, run instead of this check failing the call.
      if (drop_bookkeeping_error()) return false;
      throw_error_set();
    }
    current = Ref::steal_or_null(next);
  }
}

}  // namespace

bool Call::bound_at_import(std::initializer_list<const char*> names) const {
  const ModuleState& state = state_of(function_);
  const detail::FunctionFields& f = detail::as_function(function_)->f;
  for (const char* name : names) {
    if (!path_is_original(f, state, name)) return false;
  }
  return true;
}

bool Call::recorded_at_import(std::initializer_list<const char*> paths) const {
  const ModuleState& state = state_of(function_);
  for (const char* path : paths) {
    if (!recorded(state, path)) return false;
  }
  return true;
}

Ref Call::imported(const char* path) const {
  Ref original = recorded(state_of(function_), path);
  if (!original) raise_format(PyExc_SystemError, "nothing recorded at import for '%s'", path);
  return original;
}

PyObject* Call::globals() const noexcept {
  return detail::as_function(function_)->f.globals.get();
}

PyObject* Call::name(std::string_view text) const {
  return state_of(function_).names->get(text);
}

Ref Call::global(const char* name) const {
  detail::FunctionObject* function = detail::as_function(function_);
  PyObject* key = this->name(name);
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(function->f.globals.get(), key, &found) < 0) throw_error_set();
  if (found == nullptr && PyDict_GetItemRef(function->f.builtins.get(), key, &found) < 0) {
    throw_error_set();
  }
  if (found != nullptr) return Ref::steal(found);
  PyErr_Format(PyExc_NameError, "name '%.200s' is not defined", name);
  PendingError error;
  if (PyObject_SetAttrString(error.exception(), "name", key) < 0) throw_error_set();
  error.rethrow();
}

}  // namespace orvane::rt
