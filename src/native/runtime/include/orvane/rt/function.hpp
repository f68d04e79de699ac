// Native functions that behave, to their callers, like ordinary Python functions:
// same attributes, binding, error texts, pickling by reference and method binding.
#pragma once
#include <cstddef>
#include <initializer_list>
#include <source_location>
#include <span>
#include <string_view>

#include "orvane/rt/ref.hpp"

namespace orvane::rt {

enum class ParamKind { PositionalOrKeyword, VarPositional, VarKeyword };

// One parameter. Positional-or-keyword parameters come first, then at most one
// VarPositional, then at most one VarKeyword, as in a Python `def`.
struct Param {
  const char* name;
  ParamKind kind = ParamKind::PositionalOrKeyword;
  const char* annotation = nullptr;    // stored as a string in __annotations__
  PyTypeObject* exact_type = nullptr;  // entry check: the argument's type must be exactly this
};

class Call;
using Body = Ref (*)(Call& call);

// The static description of a function. Anonymous functions use the name "<lambda>".
// `where` is the place of the definition (its file relative to the project, as the build
// strips the source folder from file names): the function's code object points there,
// so tracebacks and profilers name the C++ source.
struct FunctionSpec {
  const char* name;
  std::span<const Param> params;
  Body body;
  const char* return_annotation = nullptr;
  std::source_location where = std::source_location::current();
};

inline constexpr std::size_t kMaxParams = 16;

// What a body sees: the bound arguments and the function's module namespace.
class Call {
 public:
  Call(PyObject* function, PyObject* const* slots) noexcept : function_(function), slots_(slots) {}

  // The bound value of parameter `index` (a tuple for *args, a dict for **kwargs).
  PyObject* arg(std::size_t index) const noexcept { return slots_[index]; }
  PyObject* function() const noexcept { return function_; }
  PyObject* globals() const noexcept;
  // A module-level name as a Python function body reads it: the module namespace,
  // then the built-ins, else NameError.
  Ref global(const char* name) const;
  // The interned str of `text`, made once per module (borrowed: the module keeps it), for
  // the names and keys that module code reads again and again (attributes, dict keys).
  PyObject* name(std::string_view text) const;
  // True when each name is still bound to the object the module's initialisation
  // bound it to, and each dotted path ("np.argmax", recorded with
  // ModuleBuilder::remember) still reads the object it read then: native fast paths are
  // taken only then.
  bool bound_at_import(std::initializer_list<const char*> names) const;
  // True when every path has an object recorded at import (one that could not be read
  // then has none): the gate of a fast path that calls imported() on paths no
  // bound_at_import check covers.
  bool recorded_at_import(std::initializer_list<const char*> paths) const;
  // The object a name or recorded dotted path had at import (fast paths use these, not
  // what a caller may have put in their place); SystemError when none was recorded.
  Ref imported(const char* path) const;

 private:
  PyObject* function_;
  PyObject* const* slots_;
};

// Creates a function of `spec` whose globals are the namespace of `module` and whose
// __module__ is the module's __name__. `defaults` is a tuple (or empty for none);
// `qualname` replaces the name as __qualname__ (and co_qualname), e.g. "Class.method".
Ref make_function(PyObject* module, const FunctionSpec& spec, Ref defaults = {},
                  const char* qualname = nullptr);

// The native function type for `module` (stored in the module state).
PyTypeObject* create_function_type(PyObject* module);

}  // namespace orvane::rt
