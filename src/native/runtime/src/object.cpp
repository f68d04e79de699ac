#include "orvane/rt/object.hpp"

#include <vector>

#include "interpreter.hpp"

namespace orvane::rt {

Ref str(std::string_view text) {
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref integer(long long value) {
  return Ref::steal(PyLong_FromLongLong(value));
}

Ref tuple(std::initializer_list<Handle> items) {
  Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t index = 0;
  for (Handle item : items) PyTuple_SET_ITEM(result.get(), index++, Py_NewRef(item.get()));
  return result;
}

Ref list(std::initializer_list<Handle> items) {
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t index = 0;
  for (Handle item : items) PyList_SET_ITEM(result.get(), index++, Py_NewRef(item.get()));
  return result;
}

Ref new_dict() {
  return Ref::steal(PyDict_New());
}
Ref new_list() {
  return Ref::steal(PyList_New(0));
}

Ref getattr(Handle obj, const char* name) {
  return Ref::steal(PyObject_GetAttrString(obj.get(), name));
}

Ref getattr(Handle obj, Handle name) {
  return Ref::steal(PyObject_GetAttr(obj.get(), name.get()));
}

Ref getattr_optional(Handle obj, const char* name) {
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttrString(obj.get(), name, &value) < 0) throw_error_set();
  return Ref::steal_or_null(value);
}

void setattr(Handle obj, const char* name, Handle value) {
  if (PyObject_SetAttrString(obj.get(), name, value.get()) < 0) throw_error_set();
}

Ref type_attribute(PyTypeObject* type, const char* name) {
  Ref mro = Ref::borrow(type->tp_mro);
  if (!mro || !PyTuple_Check(mro.get())) return {};
  for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(mro.get()); ++index) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), index));
    Ref dict = Ref::steal(PyType_GetDict(base));
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(dict.get(), name, &found) < 0) throw_error_set();
    if (found != nullptr) return Ref::steal(found);
  }
  return {};
}

Ref getitem(Handle obj, Handle key) {
  return Ref::steal(PyObject_GetItem(obj.get(), key.get()));
}

Ref getitem(Handle obj, Py_ssize_t index) {
  return getitem(obj, Ref::steal(PyLong_FromSsize_t(index)));
}

void setitem(Handle obj, Handle key, Handle value) {
  if (PyObject_SetItem(obj.get(), key.get(), value.get()) < 0) throw_error_set();
}

void set_key(Handle dict, const char* key, Handle value) {
  if (PyDict_SetItemString(dict.get(), key, value.get()) < 0) throw_error_set();
}

Ref dict_get(Handle dict, const char* key, Handle fallback) {
  PyObject* value = nullptr;
  int found = PyDict_GetItemStringRef(dict.get(), key, &value);
  if (found < 0) throw_error_set();
  return found ? Ref::steal(value) : Ref::borrow(fallback.get());
}

Ref dict_get(Handle dict, Handle key, Handle fallback) {
  PyObject* value = nullptr;
  const int found = PyDict_GetItemRef(dict.get(), key.get(), &value);
  if (found < 0) throw_error_set();
  return found ? Ref::steal(value) : Ref::borrow(fallback.get());
}

Ref dict_copy(Handle dict) {
  return Ref::steal(PyDict_Copy(dict.get()));
}

void append(Handle list, Handle item) {
  if (PyList_Append(list.get(), item.get()) < 0) throw_error_set();
}

bool truthy(Handle obj) {
  int result = PyObject_IsTrue(obj.get());
  if (result < 0) throw_error_set();
  return result != 0;
}

bool equals(Handle a, Handle b) {
  int result = PyObject_RichCompareBool(a.get(), b.get(), Py_EQ);
  if (result < 0) throw_error_set();
  return result != 0;
}

Ref repr(Handle obj) {
  return Ref::steal(PyObject_Repr(obj.get()));
}
Ref add(Handle a, Handle b) {
  return Ref::steal(PyNumber_Add(a.get(), b.get()));
}

Ref multiply(Handle a, Handle b) {
  return Ref::steal(PyNumber_Multiply(a.get(), b.get()));
}

bool contains(Handle container, Handle item) {
  int result = PySequence_Contains(container.get(), item.get());
  if (result < 0) throw_error_set();
  return result != 0;
}

Ref compare(Handle a, Handle b, int op) {
  return Ref::steal(PyObject_RichCompare(a.get(), b.get(), op));
}

Ref call(Handle callable, std::initializer_list<Handle> args, std::initializer_list<Kw> kwargs) {
  // Vectorcall layout: one slot before the arguments lets callees prepend `self`. The slots
  // live on the C stack for the usual handful of arguments: no allocation per call.
  constexpr std::size_t kOnStack = 8;
  const std::size_t slots = 1 + args.size() + kwargs.size();
  PyObject* small[kOnStack];
  std::vector<PyObject*> large;
  PyObject** stack = small;
  if (slots > kOnStack) {
    large.resize(slots);
    stack = large.data();
  }
  std::size_t used = 0;
  stack[used++] = nullptr;
  for (Handle arg : args) stack[used++] = arg.get();
  Ref kwnames;
  if (kwargs.size() != 0) {
    kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    Py_ssize_t index = 0;
    for (const Kw& kw : kwargs) {
      PyTuple_SET_ITEM(kwnames.get(), index++,
                       Ref::steal(PyUnicode_InternFromString(kw.name)).release());
      stack[used++] = kw.value.get();
    }
  }
  return Ref::steal(PyObject_Vectorcall(
      callable.get(), stack + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

Ref call_with(Handle callable, Handle args_tuple, Handle kwargs_dict) {
  return Ref::steal(PyObject_Call(callable.get(), args_tuple.get(), kwargs_dict.get()));
}

Ref call_method(Handle obj, const char* name, std::initializer_list<Handle> args,
                std::initializer_list<Kw> kwargs) {
  return call(getattr(obj, name), args, kwargs);
}

Ref iter(Handle obj) {
  return Ref::steal(PyObject_GetIter(obj.get()));
}

void check_interrupts() {
  if (PyErr_CheckSignals() < 0) throw_error_set();
}

Ref next(Handle iterator) {
  check_interrupts();
  PyObject* item = PyIter_Next(iterator.get());
  if (item == nullptr && PyErr_Occurred()) throw_error_set();
  return Ref::steal_or_null(item);
}

namespace {

// Something whose unpacking fails as `obj`'s did: `obj` itself where iterating it again runs
// no code (an exact built-in container, whose size the interpreter may name), else an
// iterator over `size` items (the interpreter cannot know the size of an iterator).
Ref unpack_stand_in(PyObject* obj, std::size_t size) {
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyDict_CheckExact(obj) ||
      PyAnySet_CheckExact(obj) || PyUnicode_CheckExact(obj) || PyBytes_CheckExact(obj) ||
      PyByteArray_CheckExact(obj)) {
    return Ref::borrow(obj);
  }
  Ref items = Ref::steal(PyList_New(static_cast<Py_ssize_t>(size)));
  for (std::size_t index = 0; index < size; ++index) {
    PyList_SET_ITEM(items.get(), static_cast<Py_ssize_t>(index), Py_NewRef(Py_None));
  }
  return iter(items);
}

// Raises what `[_0, ..., _{count-1}] = value` raises, in the running interpreter's words.
[[noreturn]] void raise_unpack_error(Handle value, std::size_t count) {
  Ref targets = new_list();
  for (std::size_t index = 0; index < count; ++index) {
    append(targets, Ref::steal(PyUnicode_FromFormat("_%zu", index)));
  }
  Ref joined = Ref::steal(PyUnicode_Join(str(", ").get(), targets.get()));
  Ref source = Ref::steal(PyUnicode_FromFormat("[%U] = _value\n", joined.get()));
  Ref names = new_dict();
  set_key(names, "__builtins__", PyEval_GetBuiltins());
  set_key(names, "_value", value);
  detail::run_unobserved(source, "<unpacking>", names.get(), names.get());
  raise(PyExc_SystemError, "unpacking did not fail again");
}

}  // namespace

Ref* unpack_into(Handle obj, Ref* out, std::size_t count) {
  PyObject* value = obj.get();
  // An exact tuple or list of the right size, as the interpreter's own unpacking takes it:
  // its items, with no iterator (iterating one runs no code).
  if ((PyTuple_CheckExact(value) || PyList_CheckExact(value)) &&
      Py_SIZE(value) == static_cast<Py_ssize_t>(count)) {
    PyObject** items = PySequence_Fast_ITEMS(value);
    for (std::size_t index = 0; index < count; ++index) out[index] = Ref::borrow(items[index]);
    return out;
  }
  PyObject* raw_iterator = PyObject_GetIter(value);
  if (raw_iterator == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr &&
        !PySequence_Check(value)) {
      // Not iterable at all (no code of the object ran): the interpreter says so itself.
      PyErr_Clear();
      raise_unpack_error(obj, count);
    }
    throw_error_set();
  }
  Ref iterator = Ref::steal(raw_iterator);
  // Items go to `out` only once all of them are there, as with Python's unpacking.
  std::vector<Ref> items;
  items.reserve(count);
  for (std::size_t index = 0; index < count; ++index) {
    Ref item = next(iterator);
    if (!item) raise_unpack_error(unpack_stand_in(value, index), count);
    items.push_back(std::move(item));
  }
  if (next(iterator)) raise_unpack_error(unpack_stand_in(value, count + 1), count);
  for (std::size_t index = 0; index < count; ++index) out[index] = std::move(items[index]);
  return out;
}

Ref builtin(const char* name) {
  PyObject* found = nullptr;
  int status = PyDict_GetItemStringRef(PyEval_GetBuiltins(), name, &found);
  if (status < 0) throw_error_set();
  if (status == 0) raise_format(PyExc_NameError, "name '%.200s' is not defined", name);
  return Ref::steal(found);
}

Ref import_module(const char* name) {
  return Ref::steal(PyImport_ImportModule(name));
}

Ref from_import(const char* module, const char* name) {
  Ref source = import_module(module);
  Ref value = getattr_optional(source, name);
  if (value) return value;
  Ref file = getattr_optional(source, "__file__");
  if (file && PyUnicode_Check(file.get())) {
    raise_format(PyExc_ImportError, "cannot import name '%s' from '%s' (%U)", name, module,
                 file.get());
  }
  raise_format(PyExc_ImportError, "cannot import name '%s' from '%s' (unknown location)", name,
               module);
}

}  // namespace orvane::rt
