#include "orvane/rt/error.hpp"

#include <cstdarg>
#include <exception>
#include <new>

namespace orvane::rt {

void throw_error_set() {
  throw ErrorSet{};
}

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw ErrorSet{};
}

void raise_format(PyObject* type, const char* format, ...) {
  va_list vargs;
  va_start(vargs, format);
  PyErr_FormatV(type, format, vargs);
  va_end(vargs);
  throw ErrorSet{};
}

Handling::Handling(Handle exc) noexcept
    : previous_(Ref::steal_or_null(PyErr_GetHandledException())) {
  PyErr_SetHandledException(exc.get());
}

Handling::~Handling() {
  PyErr_SetHandledException(previous_.get());
}

PendingError::~PendingError() {
  handling_.reset();
  if (!exc_) return;
  if (PyErr_Occurred()) {
    // Raised while exc_ was handled, the new exception usually has it as its context
    // already; one restored from elsewhere gets it here.
    PyObject* fresh = PyErr_GetRaisedException();
    Ref context = Ref::steal_or_null(PyException_GetContext(fresh));
    if (!context && fresh != exc_.get()) PyException_SetContext(fresh, exc_.release());
    PyErr_SetRaisedException(fresh);
  } else {
    PyErr_SetRaisedException(exc_.release());
  }
}

void PendingError::rethrow() {
  handling_.reset();
  PyErr_SetRaisedException(exc_.release());
  throw ErrorSet{};
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const ErrorSet&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& exc) {
    PyErr_SetString(PyExc_SystemError, exc.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

}  // namespace orvane::rt
