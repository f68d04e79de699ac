// A read-only view of an object's memory through the buffer protocol, released on scope
// exit. Fast paths use it to read numpy arrays without the numpy C API.
#pragma once
#include <cstddef>
#include <span>

#include "orvane/rt/ref.hpp"

namespace orvane::rt {

class BufferView {
 public:
  enum class Access { Read, Write };

  // Asks for shape, strides and format (and, for Access::Write, a writable buffer);
  // empty() when the object has no such buffer (the error is cleared: callers then take
  // their plain path).
  explicit BufferView(Handle obj, Access access = Access::Read) noexcept;
  ~BufferView();
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  bool empty() const noexcept { return !held_; }
  const char* data() const noexcept { return static_cast<const char*>(view_.buf); }
  // Only for a view asked for with Access::Write.
  char* writable_data() const noexcept { return static_cast<char*>(view_.buf); }
  std::size_t ndim() const noexcept { return static_cast<std::size_t>(view_.ndim); }
  std::span<const Py_ssize_t> shape() const noexcept { return {view_.shape, ndim()}; }
  std::span<const Py_ssize_t> strides() const noexcept { return {view_.strides, ndim()}; }
  Py_ssize_t itemsize() const noexcept { return view_.itemsize; }
  // The struct-module format with a native byte-order prefix removed, or nullptr when
  // the items are not in native byte order.
  const char* native_format() const noexcept;
  // The format with any byte-order prefix removed; `swapped` tells whether the items are
  // in the other byte order than the machine's.
  const char* unprefixed_format(bool& swapped) const noexcept;

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace orvane::rt
