#include "orvane/rt/buffer.hpp"

namespace orvane::rt {

BufferView::BufferView(Handle obj, Access access) noexcept {
  const int flags = access == Access::Write ? PyBUF_RECORDS : PyBUF_RECORDS_RO;
  if (PyObject_GetBuffer(obj.get(), &view_, flags) == 0) {
    held_ = true;
  } else {
    PyErr_Clear();
  }
}

BufferView::~BufferView() {
  if (held_) PyBuffer_Release(&view_);
}

const char* BufferView::native_format() const noexcept {
  bool swapped = false;
  const char* format = unprefixed_format(swapped);
  return swapped ? nullptr : format;
}

const char* BufferView::unprefixed_format(bool& swapped) const noexcept {
  const char* format = view_.format == nullptr ? "B" : view_.format;
  swapped = false;
  switch (*format) {
    case '@':
    case '=':
      return format + 1;
    case '<':
      swapped = !PY_LITTLE_ENDIAN;
      return format + 1;
    case '>':
    case '!':
      swapped = PY_LITTLE_ENDIAN;
      return format + 1;
    default:
      return format;
  }
}

}  // namespace orvane::rt
