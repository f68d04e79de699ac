// Multi-phase module initialisation: the exec step runs the module's statements in
// order, binding each name as it is made; any exception ends the import unchanged.
#pragma once
#include "orvane/rt/error.hpp"
#include "orvane/rt/function.hpp"
#include "orvane/rt/ref.hpp"

namespace orvane::rt {

namespace detail {
class NameCache;
}

// For the bookkeeping of fast paths, which must add no failure: clears a pending error
// that is an Exception and returns true; leaves any other (KeyboardInterrupt, SystemExit)
// pending and returns false.
bool drop_bookkeeping_error() noexcept;

// The module being initialised.
class ModuleBuilder {
 public:
  explicit ModuleBuilder(PyObject* module) noexcept : module_(module) {}

  PyObject* module() const noexcept { return module_; }
  // Binds `name` in the module namespace.
  void bind(const char* name, Handle value);
  // Reads a name bound by an earlier statement.
  Ref get(const char* name) const;
  // Records what a name or a dotted path of attributes below it ("np.linalg.norm") is
  // now, without binding anything, for Call::bound_at_import and Call::imported. A name
  // the module does not bind is read from the built-ins ("range"). What cannot be read
  // (a missing attribute, an attribute access that raises an Exception) stays unrecorded,
  // with no error: the import goes on, and the gates that need it take the plain steps.
  void remember(const char* path);
  // Records `value` under `key` (e.g. a class a fast path relies on that no module name
  // leads to), for Call::imported.
  void remember(const char* key, Handle value);
  // What `read()` returns, or an empty Ref when it raises an Exception (dropped): for
  // values that only fast paths use, so that reading them never fails an import.
  template <class Read>
  static Ref read_for_bookkeeping(Read&& read) {
    try {
      return std::forward<Read>(read)();
    } catch (const ErrorSet&) {
      if (!drop_bookkeeping_error()) throw;
      return {};
    }
  }
  // A native function of this module.
  Ref function(const FunctionSpec& spec, Ref defaults = {}, const char* qualname = nullptr) const {
    return make_function(module_, spec, std::move(defaults), qualname);
  }

 private:
  PyObject* module_;
};

using ExecBody = void (*)(ModuleBuilder& module);

// Implementation of the exec slot: creates the module state, then runs `body`.
int run_module_exec(PyObject* module, ExecBody body) noexcept;
int module_traverse(PyObject* module, visitproc visit, void* arg);
int module_clear(PyObject* module);
void module_free(void* module);

// Per-module state: the module's own function type (a heap type, so that each module
// and each interpreter has its own and nothing static is mutable).
struct ModuleState {
  PyTypeObject* function_type;
  // Every name as the module's initialisation bound it, and every remembered dotted
  // path, so that native fast paths can tell whether a caller has rebound a name or
  // patched a library function since (then the plain path runs).
  PyObject* import_bindings;
  // Interned names that module code reads (see Call::name), made once.
  detail::NameCache* names;
};

}  // namespace orvane::rt

// Defines the module's definition and its exported entry point PyInit_<name>.
#define ORVANE_MODULE(name, exec_body)                                            \
  static int orvane_exec_##name(PyObject* module) {                               \
    return ::orvane::rt::run_module_exec(module, exec_body);                      \
  }                                                                               \
  static PyModuleDef_Slot orvane_slots_##name[] = {                               \
      {Py_mod_exec, reinterpret_cast<void*>(orvane_exec_##name)},                 \
      {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED}, \
      {0, nullptr}};                                                              \
  static PyModuleDef orvane_def_##name = {PyModuleDef_HEAD_INIT,                  \
                                          #name,                                  \
                                          nullptr,                                \
                                          sizeof(::orvane::rt::ModuleState),      \
                                          nullptr,                                \
                                          orvane_slots_##name,                    \
                                          ::orvane::rt::module_traverse,          \
                                          ::orvane::rt::module_clear,             \
                                          ::orvane::rt::module_free};             \
  PyMODINIT_FUNC PyInit_##name() {                                                \
    return PyModuleDef_Init(&orvane_def_##name);                                  \
  }
