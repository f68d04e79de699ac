#include "orvane/rt/gil.hpp"

#include "orvane/rt/ref.hpp"

namespace orvane::rt {

void WithoutGil::check_interrupts() {
  budget_ = kCheckEvery;
  PyEval_RestoreThread(state_);
  state_ = nullptr;
  if (PyErr_CheckSignals() < 0) throw_error_set();
  state_ = PyEval_SaveThread();
}

}  // namespace orvane::rt
