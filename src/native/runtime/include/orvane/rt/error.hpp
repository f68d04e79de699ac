// The single boundary where C++ exceptions become Python errors.
#pragma once
#include <utility>

#include "orvane/rt/ref.hpp"

namespace orvane::rt {

// Sets the Python error that matches the C++ exception being handled. Call only
// inside a catch block. ErrorSet keeps the error already set; std::bad_alloc gives
// MemoryError; any other exception gives SystemError with its text.
void set_error_from_current_exception() noexcept;

// Runs `body` (returning Ref) and hands its result to CPython: a new reference, or
// null with a Python error set. No C++ exception leaves this function.
template <class Body>
PyObject* boundary(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)().release();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// The same for CPython callbacks that return 0 on success and -1 on error.
template <class Body>
int boundary_status(Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
    return 0;
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
}

}  // namespace orvane::rt
