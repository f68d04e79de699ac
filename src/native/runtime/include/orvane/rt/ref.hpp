// Owning references and the exception that means "a Python error is set".
#pragma once
#include <optional>
#include <utility>

#include "orvane/rt/python.hpp"

namespace orvane::rt {

// Thrown when the current thread has a Python error set. It carries nothing: the
// error itself stays in the interpreter until the boundary hands it back to CPython.
struct ErrorSet final {};

// Throws ErrorSet; the caller has set a Python error.
[[noreturn]] void throw_error_set();

// Sets a Python error of `type` with `message`, then throws ErrorSet.
[[noreturn]] void raise(PyObject* type, const char* message);

// Like PyErr_Format, then throws ErrorSet.
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// An owning (strong) reference; never null unless default-constructed or moved from.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  // Takes over a new reference; throws ErrorSet when it is null (the API call failed).
  static Ref steal(PyObject* ptr) {
    if (ptr == nullptr) throw_error_set();
    return Ref(ptr);
  }
  // Takes over a new reference that may be null, without checking.
  static Ref steal_or_null(PyObject* ptr) noexcept { return Ref(ptr); }
  // Adds a reference to a borrowed pointer.
  static Ref borrow(PyObject* ptr) noexcept { return Ref(Py_XNewRef(ptr)); }

  PyObject* get() const noexcept { return ptr_; }
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  void reset() noexcept { Py_CLEAR(ptr_); }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
  PyObject* ptr_ = nullptr;
};

// A borrowed pointer argument that also accepts a Ref (a temporary Ref lives to the
// end of the full expression, so passing one is safe).
class Handle {
 public:
  Handle(PyObject* ptr) noexcept : ptr_(ptr) {}         // NOLINT: implicit by design
  Handle(const Ref& ref) noexcept : ptr_(ref.get()) {}  // NOLINT: implicit by design
  PyObject* get() const noexcept { return ptr_; }

 private:
  PyObject* ptr_;
};

inline Ref none() {
  return Ref::borrow(Py_None);
}
inline Ref boolean(bool value) {
  return Ref::borrow(value ? Py_True : Py_False);
}

// While alive, `exc` is the exception being handled, as inside an `except` block:
// sys.exception() returns it, and an exception raised meanwhile (by Python code or by the
// C API) gets it as its __context__. The previous one is restored on scope exit.
class Handling {
 public:
  explicit Handling(Handle exc) noexcept;
  ~Handling();
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  Ref previous_;
};

// Holds the exception being raised while cleanup code runs, then raises it again.
// Mirrors a Python `finally:` block around code that may itself raise: meanwhile the
// exception is the one being handled (see Handling).
class PendingError {
 public:
  // Takes the exception being raised (the current error indicator).
  PendingError() noexcept : PendingError(Ref::steal_or_null(PyErr_GetRaisedException())) {}
  // Takes `exc`, an exception taken from the error indicator earlier.
  explicit PendingError(Ref exc) noexcept : exc_(std::move(exc)) {
    if (exc_) handling_.emplace(exc_.get());
  }
  PendingError(const PendingError&) = delete;
  PendingError& operator=(const PendingError&) = delete;
  // Raises the pending exception again; when the cleanup raised a new one, that one
  // wins and carries the pending one as its __context__, as in Python.
  ~PendingError();
  PyObject* exception() const noexcept { return exc_.get(); }
  // Gives up the pending exception (it was handled).
  Ref take() noexcept { return std::move(exc_); }
  // Raises it again now.
  [[noreturn]] void rethrow() noexcept(false);

 private:
  Ref exc_;
  std::optional<Handling> handling_;
};

}  // namespace orvane::rt
