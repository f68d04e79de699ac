#include "orvane/rt/module.hpp"

#include <string>
#include <string_view>

#include "names.hpp"
#include "orvane/rt/object.hpp"

namespace orvane::rt {

void ModuleBuilder::bind(const char* name, Handle value) {
  if (PyModule_AddObjectRef(module_, name, value.get()) < 0) throw_error_set();
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module_));
  if (PyDict_SetItemString(state->import_bindings, name, value.get()) < 0) throw_error_set();
}

Ref ModuleBuilder::get(const char* name) const {
  PyObject* found = nullptr;
  int status = PyDict_GetItemStringRef(PyModule_GetDict(module_), name, &found);
  if (status < 0) throw_error_set();
  if (status == 0) raise_format(PyExc_NameError, "name '%.200s' is not defined", name);
  return Ref::steal(found);
}

bool drop_bookkeeping_error() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

void ModuleBuilder::remember(const char* path) {
  // Each prefix is recorded too ("np", "np.linalg"), so that a check of the path can stop
  // at the first object that is not the import-time one. A prefix that cannot be read
  // (a missing attribute, a getter that raises) ends the record there: the longer paths
  // stay unrecorded, so every gate that needs them takes the plain steps, and the import
  // goes on as its own statements do.
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module_));
  const std::string_view whole(path);
  std::size_t dot = whole.find('.');
  const std::string head(whole.substr(0, dot));
  // A name the module does not bind is a built-in ("range"), as a body reads it.
  PyObject* found = nullptr;
  if (PyDict_GetItemStringRef(PyModule_GetDict(module_), head.c_str(), &found) < 0 ||
      (found == nullptr &&
       PyDict_GetItemStringRef(PyEval_GetBuiltins(), head.c_str(), &found) < 0)) {
    if (drop_bookkeeping_error()) return;
    throw_error_set();
  }
  Ref value = Ref::steal_or_null(found);
  for (;;) {
    if (!value) return;
    const std::string prefix(whole.substr(0, dot));
    if (PyDict_SetItemString(state->import_bindings, prefix.c_str(), value.get()) < 0) {
      throw_error_set();
    }
    if (dot == std::string_view::npos) return;
    const std::size_t start = dot + 1;
    dot = whole.find('.', start);
    const std::string attribute(whole.substr(start, dot - start));
    PyObject* next = nullptr;
    if (PyObject_GetOptionalAttrString(value.get(), attribute.c_str(), &next) < 0) {
      if (drop_bookkeeping_error()) return;
      throw_error_set();
    }
    value = Ref::steal_or_null(next);
  }
}

void ModuleBuilder::remember(const char* key, Handle value) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module_));
  if (PyDict_SetItemString(state->import_bindings, key, value.get()) < 0) throw_error_set();
}

int run_module_exec(PyObject* module, ExecBody body) noexcept {
  return boundary_status([&] {
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state == nullptr) throw_error_set();
    state->function_type = create_function_type(module);
    state->import_bindings = new_dict().release();
    state->names = new detail::NameCache();
    ModuleBuilder builder(module);
    body(builder);
  });
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state != nullptr) {
    Py_VISIT(state->function_type);
    Py_VISIT(state->import_bindings);
  }
  return 0;
}

int module_clear(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state != nullptr) {
    Py_CLEAR(state->function_type);
    Py_CLEAR(state->import_bindings);
    if (state->names != nullptr) state->names->clear();
  }
  return 0;
}

void module_free(void* module) {
  module_clear(static_cast<PyObject*>(module));
  auto* state = static_cast<ModuleState*>(PyModule_GetState(static_cast<PyObject*>(module)));
  if (state != nullptr) {
    delete state->names;
    state->names = nullptr;
  }
}

}  // namespace orvane::rt
