// Layout of the native function object, shared by the runtime's own files.
#pragma once
#include "orvane/rt/function.hpp"

namespace orvane::rt::detail {

// The object fields other than the instance dict and the weak-reference list, which
// CPython manages (Py_TPFLAGS_MANAGED_DICT / MANAGED_WEAKREF).
struct FunctionFields {
  Ref name;
  Ref qualname;
  Ref module;
  Ref doc;
  Ref defaults;           // tuple, or empty for none
  Ref kwdefaults;         // dict, or empty for none
  Ref annotation_holder;  // see make_annotation_holder; made on first use
  Ref globals;
  Ref builtins;
  Ref type_params;  // tuple, or empty for ()
  Ref code;         // the code object describing the parameters and the C++ source
};

// What sys.monitoring tools asked for, per event that a call fires, as the C monitoring
// API keeps it for the code object it reports.
enum MonitoredEvent { kStartEvent, kReturnEvent, kUnwindEvent, kMonitoredEvents };
struct MonitoringScope {
  PyMonitoringState states[kMonitoredEvents] = {};
  uint64_t version = 0;
};

struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  const FunctionSpec* spec;
  FunctionFields f;  // built in place after tp_alloc, destroyed in dealloc
  MonitoringScope monitoring;
};

inline FunctionObject* as_function(PyObject* obj) noexcept {
  return reinterpret_cast<FunctionObject*>(obj);
}

// Binds the call's arguments to the parameter slots, raising CPython's own
// TypeErrors, then runs the entry checks. `owned` keeps *args, **kwargs and the
// defaults alive for the duration of the call.
struct BoundArgs {
  PyObject* slots[kMaxParams] = {};
  Ref varargs;
  Ref varkw;
  Ref defaults;
};
void bind_arguments(FunctionObject* function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& bound);

// The parameter name closest to `keyword` by CPython's own suggestion rule, or empty.
Ref suggest_keyword(const FunctionSpec& spec, PyObject* keyword);

// annotations.cpp: the Python function that keeps the annotations of a function of
// `spec`, first named `qualname`, in the module namespace `globals`: made by the running
// interpreter from a `def` with the same parameters and string annotations.
Ref make_annotation_holder(const FunctionSpec& spec, PyObject* qualname, PyObject* globals);

// code.cpp: the code object of a function of `spec` named `qualname`: parameters,
// flags, name and the C++ file and line of its definition.
Ref make_code(const FunctionSpec& spec, PyObject* qualname);

// stack.cpp: true when less than a reserve of the running thread's C stack is left below
// the caller's frame.
bool stack_nearly_exhausted() noexcept;

// call_scope.cpp: runs the body of a bound call as a Python frame would run: counted
// against the recursion limit, reported to sys.monitoring tools, and with a traceback
// entry for the function when an exception leaves it.
PyObject* run_body(FunctionObject* function, PyObject* callable, BoundArgs& bound);

// The attributes of a Python function. __annotate__ comes first, so that the table of an
// interpreter whose functions have no __annotate__ starts one entry later.
extern PyGetSetDef function_getset[];

}  // namespace orvane::rt::detail
