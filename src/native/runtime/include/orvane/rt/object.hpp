// Small helpers over the object, call and import protocols. Each returns an owning
// reference or throws ErrorSet, so module code reads like the Python it mirrors.
#pragma once
#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "orvane/rt/ref.hpp"

namespace orvane::rt {

// A keyword argument of a call: name and value.
struct Kw {
  const char* name;
  Handle value;
};

Ref str(std::string_view text);
Ref integer(long long value);
Ref tuple(std::initializer_list<Handle> items);
Ref list(std::initializer_list<Handle> items);
Ref new_dict();
Ref new_list();

Ref getattr(Handle obj, const char* name);
Ref getattr(Handle obj, Handle name);  // a str name, e.g. Call::name("get")
// The attribute, or an empty Ref when it does not exist (AttributeError is cleared).
Ref getattr_optional(Handle obj, const char* name);
void setattr(Handle obj, const char* name, Handle value);
// What the class dicts along type's MRO hold under `name`, or an empty Ref: no descriptor
// is invoked, so nothing a caller put there runs.
Ref type_attribute(PyTypeObject* type, const char* name);

Ref getitem(Handle obj, Handle key);
Ref getitem(Handle obj, Py_ssize_t index);
void setitem(Handle obj, Handle key, Handle value);
void set_key(Handle dict, const char* key, Handle value);
// dict.get(key, fallback) on an exact dict.
Ref dict_get(Handle dict, const char* key, Handle fallback);
Ref dict_get(Handle dict, Handle key, Handle fallback);
Ref dict_copy(Handle dict);
void append(Handle list, Handle item);

bool truthy(Handle obj);
bool equals(Handle a, Handle b);  // a == b, then the truth of the result
Ref repr(Handle obj);
Ref add(Handle a, Handle b);
Ref multiply(Handle a, Handle b);              // a * b
bool contains(Handle container, Handle item);  // item in container
Ref compare(Handle a, Handle b, int op);       // rich comparison, result as returned

// f(*args), f(*args, **kwargs as Kw), f(*args_tuple, **kwargs_dict).
Ref call(Handle callable, std::initializer_list<Handle> args = {},
         std::initializer_list<Kw> kwargs = {});
Ref call_with(Handle callable, Handle args_tuple, Handle kwargs_dict);
Ref call_method(Handle obj, const char* name, std::initializer_list<Handle> args = {},
                std::initializer_list<Kw> kwargs = {});

Ref iter(Handle obj);
// The next item, or an empty Ref when the iterator is exhausted. Like the backward jump
// of a Python loop, it first handles pending signals, so Ctrl-C stops a long loop.
Ref next(Handle iterator);

// Runs pending signal handlers (KeyboardInterrupt for Ctrl-C) and throws what they raise.
// Long native loops call it now and then.
void check_interrupts();

// `a, b, ... = obj`: exactly N items, with the interpreter's own messages.
Ref* unpack_into(Handle obj, Ref* out, std::size_t count);
template <std::size_t N>
std::array<Ref, N> unpack(Handle obj) {
  std::array<Ref, N> out;
  unpack_into(obj, out.data(), N);
  return out;
}

// A name of the interpreter's built-ins (as seen from the running frame), else NameError.
Ref builtin(const char* name);

// importlib.import_module(name): the (sub)module itself.
Ref import_module(const char* name);
// `from module import name`: ImportError when the module lacks it.
Ref from_import(const char* module, const char* name);

}  // namespace orvane::rt
