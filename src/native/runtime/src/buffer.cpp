#include "orvane/rt/buffer.hpp"

namespace orvane::rt {

BufferView::BufferView(Handle obj) noexcept {
  if (PyObject_GetBuffer(obj.get(), &view_, PyBUF_RECORDS_RO) == 0) {
    held_ = true;
  } else {
    PyErr_Clear();
  }
}

BufferView::~BufferView() {
  if (held_) PyBuffer_Release(&view_);
}

const char* BufferView::native_format() const noexcept {
  const char* format = view_.format == nullptr ? "B" : view_.format;
  if (*format == '@') return format + 1;
  // '=' and '<' mean little-endian standard sizes, native on the machines we build for.
  if ((*format == '=' || *format == '<') && PY_LITTLE_ENDIAN) return format + 1;
  if (*format == '>' || *format == '!') return PY_LITTLE_ENDIAN ? nullptr : format + 1;
  return format;
}

}  // namespace orvane::rt
