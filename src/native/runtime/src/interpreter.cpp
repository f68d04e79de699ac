#include "interpreter.hpp"

namespace orvane::rt::detail {

void run_unobserved(Handle source, const char* filename, PyObject* globals, PyObject* locals) {
  const ToolsMuted muted(PyThreadState_Get());
  const char* text = PyUnicode_AsUTF8(source.get());
  if (text == nullptr) throw_error_set();
  Ref code = Ref::steal(Py_CompileString(text, filename, Py_file_input));
  if (Ref::steal_or_null(PyEval_EvalCode(code.get(), globals, locals))) return;
  // The error is the caller's own (a message to raise as the interpreter words it): the
  // frames of the source are no part of it.
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (PyException_SetTraceback(exc.get(), Py_None) < 0) throw_error_set();
  PyErr_SetRaisedException(exc.release());
  throw_error_set();
}

}  // namespace orvane::rt::detail
