// What the interpreter does around the body of a Python function, done for a native one:
// the recursion limit, sys.monitoring events, and a traceback entry on the way out.
#include <cstdint>

#include "function_object.hpp"
// After Python.h (included above): PyFrame_New.
#include <frameobject.h>
#include "interpreter.hpp"
#include "orvane/rt/error.hpp"

namespace orvane::rt::detail {
namespace {

// A native call level counts against the interpreter's recursion limit exactly as a
// Python frame does (sys.setrecursionlimit applies; Python frames in between count
// too), and refuses to start when the C stack is nearly used up, so deep recursion
// raises RecursionError instead of overflowing the stack.
class RecursionScope {
 public:
  explicit RecursionScope(PyThreadState* thread) noexcept : thread_(thread) {
    // Only deep calls look at the stack: a stack is used up only by deep recursion,
    // and every native level of it counts here.
    constexpr int kShallow = 32;
    const bool deep = thread->py_recursion_limit - thread->py_recursion_remaining >= kShallow;
    if (thread->py_recursion_remaining <= 0 || (deep && stack_nearly_exhausted())) {
      PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
      return;
    }
    --thread_->py_recursion_remaining;
    entered_ = true;
  }
  ~RecursionScope() {
    if (entered_) ++thread_->py_recursion_remaining;
  }
  RecursionScope(const RecursionScope&) = delete;
  RecursionScope& operator=(const RecursionScope&) = delete;
  bool entered() const noexcept { return entered_; }

 private:
  PyThreadState* thread_;
  bool entered_ = false;
};

constexpr std::uint8_t kEventTypes[kMonitoredEvents] = {
    PY_MONITORING_EVENT_PY_START, PY_MONITORING_EVENT_PY_RETURN, PY_MONITORING_EVENT_PY_UNWIND};

// PY_START, PY_RETURN and PY_UNWIND tell of a Python frame, which a native function does
// not have. Profilers key on the code object alone (cProfile lists the function by name), but
// some tools look for that frame and must not be told:
// - sys.setprofile and sys.settrace, which run on sys.monitoring as its tools 6 and 7: their
//   handlers report the innermost Python frame, which for a native function is its caller's
//   (a 'call' and 'return' of the caller that never happened; the pure-Python `profile`
//   module fails on them, debuggers stop in the wrong place). A profile function is told of
//   the call as of a built-in function's instead, below.
// - debuggers (tool 0, sys.monitoring.DEBUGGER_ID: debugpy and pydevd, pdb's monitoring
//   backend), which check that the frame below the event is the code object's and fail
//   otherwise. They see the call as a call of a C function: the CALL, C_RETURN and C_RAISE
//   events that the interpreter fires in the caller's frame.
constexpr std::uint8_t kDebuggerTool = 1u << 0;
constexpr std::uint8_t kLegacyTools = (1u << 6) | (1u << 7);
constexpr std::uint8_t kToolsNotTold = kDebuggerTool | kLegacyTools;

void enter_monitoring_scope(MonitoringScope& monitoring) {
  // Cheap while no tool listens: one comparison with the interpreter's event version.
  const std::uint64_t before = monitoring.version;
  PyMonitoring_EnterScope(monitoring.states, &monitoring.version, kEventTypes, kMonitoredEvents);
  if (monitoring.version != before) {
    for (PyMonitoringState& state : monitoring.states) state.active &= ~kToolsNotTold;
  }
}

// Calls the profile function set by sys.setprofile (if any, and not from inside one) with
// `what` (PyTrace_C_CALL, _C_RETURN or _C_EXCEPTION), the caller's frame and the function,
// as the interpreter does around a call of a built-in function. False when it raised.
bool tell_profile_function(PyThreadState* thread, PyObject* callable, int what) {
  if (thread->c_profilefunc == nullptr || thread->tracing != 0) return true;
  PyFrameObject* frame = PyEval_GetFrame();  // borrowed
  if (frame == nullptr) return true;
  Ref pending = Ref::steal_or_null(PyErr_GetRaisedException());
  Ref frame_ref = Ref::borrow(reinterpret_cast<PyObject*>(frame));
  int status;
  {
    const ToolsMuted muted(thread);
    status = thread->c_profilefunc(thread->c_profileobj, frame, what, callable);
  }
  if (status != 0) return false;  // its error replaces the pending one, as in CPython
  if (pending) PyErr_SetRaisedException(pending.release());
  return true;
}

// Sets the frame's locals to the bound arguments, so that a debugger or the traceback's
// "Did you mean" hint sees them as in a Python frame.
void set_locals(PyFrameObject* frame, const FunctionObject* function, const BoundArgs& bound) {
  Ref locals = Ref::steal(PyFrame_GetLocals(frame));
  std::size_t index = 0;
  for (const Param& param : function->spec->params) {
    PyObject* value = bound.slots[index++];
    if (value == nullptr) continue;
    Ref name = Ref::steal(PyUnicode_FromString(param.name));
    if (PyObject_SetItem(locals.get(), name.get(), value) < 0) throw_error_set();
  }
}

// Adds the function's entry to the traceback of the exception leaving it, as the
// interpreter does for a Python frame the exception passes through.
[[gnu::noinline]] void add_traceback_entry(FunctionObject* function, const BoundArgs& bound) {
  const Ref code_ref = function->f.code;
  PyObject* code = code_ref.get();
  if (code == nullptr || !PyCode_Check(code)) return;
  Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
  Ref frame = Ref::steal_or_null(reinterpret_cast<PyObject*>(
      PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                  function->f.globals.get(), nullptr)));
  if (frame) {
    boundary_status(
        [&] { set_locals(reinterpret_cast<PyFrameObject*>(frame.get()), function, bound); });
  }
  PyErr_Clear();  // locals that cannot be set leave the frame without them
  PyErr_SetRaisedException(exc.release());
  // On failure (no memory) the exception stays set, with that error chained to it.
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace

PyObject* run_body(FunctionObject* function, PyObject* callable, BoundArgs& bound) {
  PyThreadState* thread = PyThreadState_Get();
  const RecursionScope recursion(thread);
  if (!recursion.entered()) return nullptr;
  if (!tell_profile_function(thread, callable, PyTrace_C_CALL)) return nullptr;
  MonitoringScope& monitoring = function->monitoring;
  enter_monitoring_scope(monitoring);
  // Held: the body may give the function another __code__ (see set_code).
  const Ref code_ref = function->f.code;
  PyObject* code = code_ref.get();
  Ref result;
  if (code == nullptr ||
      PyMonitoring_FirePyStartEvent(&monitoring.states[kStartEvent], code, 0) == 0) {
    result = Ref::steal_or_null(boundary([&]() -> Ref {
      Call call(callable, bound.slots);
      Ref value = function->spec->body(call);
      if (!value) raise(PyExc_SystemError, "native function returned no result");
      return value;
    }));
    if (result && code != nullptr &&
        PyMonitoring_FirePyReturnEvent(&monitoring.states[kReturnEvent], code, 0, result.get()) <
            0) {
      result.reset();
    }
  }
  if (!result) {
    add_traceback_entry(function, bound);
    if (code != nullptr) {
      // The unwind event keeps the exception set; a tool's own error replaces it.
      PyMonitoring_FirePyUnwindEvent(&monitoring.states[kUnwindEvent], code, 0);
    }
  }
  PyMonitoring_ExitScope();
  if (!tell_profile_function(thread, callable, result ? PyTrace_C_RETURN : PyTrace_C_EXCEPTION)) {
    result.reset();
  }
  return result.release();
}

}  // namespace orvane::rt::detail
