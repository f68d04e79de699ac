// Native loops that touch only buffers run without the GIL, as numpy's and scipy's do, so
// that other threads run meanwhile. The caller keeps every reference and buffer view it
// reads alive for the whole stretch; no Python object is touched inside it.
#pragma once
#include <cstdint>

#include "orvane/rt/python.hpp"

namespace orvane::rt {

class WithoutGil {
 public:
  WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
  ~WithoutGil() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

  // Counts `work` units (about one element each); every million or so, takes the GIL back
  // to run pending signal handlers, as a Python loop does, so Ctrl-C stops the loop
  // within a second. What they raise is thrown as ErrorSet with the GIL held (the
  // destructor then leaves it held).
  void progress(std::int64_t work) {
    budget_ -= work;
    if (budget_ < 0) check_interrupts();
  }
  void check_interrupts();

 private:
  static constexpr std::int64_t kCheckEvery = std::int64_t{1} << 20;
  PyThreadState* state_;
  std::int64_t budget_ = kCheckEvery;
};

}  // namespace orvane::rt
