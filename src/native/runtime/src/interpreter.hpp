// Python source that the runtime has the running interpreter run, so that what a native
// function must do exactly as the interpreter does (its error messages, the annotations it
// makes for a def) comes from the interpreter itself, whatever its version.
#pragma once
#include "orvane/rt/ref.hpp"

namespace orvane::rt::detail {

// While alive, the thread reports nothing to sys.monitoring tools, trace and profile
// functions, as while one of their own callbacks runs.
class ToolsMuted {
 public:
  explicit ToolsMuted(PyThreadState* thread) noexcept : thread_(thread) { ++thread_->tracing; }
  ~ToolsMuted() { --thread_->tracing; }
  ToolsMuted(const ToolsMuted&) = delete;
  ToolsMuted& operator=(const ToolsMuted&) = delete;

 private:
  PyThreadState* thread_;
};

// Compiles `source` (a str of statements, reported as coming from `filename`) and runs it with
// `globals` and `locals`, unseen by tools (the runtime's own steps are not the caller's
// program). An exception it raises is thrown as ErrorSet, without the traceback entries of
// that source.
void run_unobserved(Handle source, const char* filename, PyObject* globals, PyObject* locals);

}  // namespace orvane::rt::detail
