#include "gate.hpp"

#include <algorithm>
#include <limits>

namespace orvane::medical::fast {

ReadableMask::ReadableMask(const rt::Call& call, rt::Handle obj, bool floats) {
  // What the fast paths take from numpy as it was at import: all of it must have been
  // read then (a numpy without one of them leaves every mask to the plain steps).
  if (!call.recorded_at_import(
          {"np.ndarray", "np.float64", "np.intp", "np.empty", "np.empty_like"}) ||
      reinterpret_cast<PyObject*>(Py_TYPE(obj.get())) != call.imported("np.ndarray").get()) {
    return;
  }
  const rt::BufferView& view = view_.emplace(obj);
  if (view.empty() || view.ndim() < 1 || view.ndim() > kMaxAxes) return;
  const std::optional<ElementType> type = element_type(view);
  if (!type || (type->kind == ElementKind::Float && !floats)) return;
  const Geometry geometry(view);
  if (geometry.size == 0) return;
  mask_ = MaskData{view.data(), geometry, *type};
}

bool same_shape(const ReadableMask& a, const ReadableMask& b) {
  if (!a.mask() || !b.mask()) return false;
  const Geometry& p = a.mask()->geometry;
  const Geometry& q = b.mask()->geometry;
  return p.ndim == q.ndim && std::equal(p.shape.begin(), p.shape.begin() + p.ndim, q.shape.begin());
}

rt::Ref new_array(const rt::Call& call, std::span<const std::int64_t> extents, rt::Handle dtype) {
  rt::Ref shape = rt::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(extents.size())));
  Py_ssize_t k = 0;
  for (std::int64_t extent : extents) {
    PyTuple_SET_ITEM(shape.get(), k++, rt::integer(extent).release());
  }
  return rt::call(call.imported("np.empty"), {shape}, {{"dtype", dtype}});
}

rt::Ref new_bool_array(const rt::Call& call, const Geometry& shape) {
  return new_array(call, std::span(shape.shape.data(), shape.ndim),
                   reinterpret_cast<PyObject*>(&PyBool_Type));
}

rt::Ref new_bool_array_like(const rt::Call& call, rt::Handle prototype) {
  return rt::call(call.imported("np.empty_like"), {prototype},
                  {{"dtype", reinterpret_cast<PyObject*>(&PyBool_Type)}});
}

WritableMask::WritableMask(rt::Handle array)
    : view_(array, rt::BufferView::Access::Write), geometry_() {
  if (view_.empty()) rt::raise(PyExc_SystemError, "a new array has no writable buffer");
  geometry_ = Geometry(view_);
}

std::int64_t rounds(rt::Handle count) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(count.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) rt::throw_error_set();
  if (overflow < 0) return 0;
  if (overflow > 0) return std::numeric_limits<std::int64_t>::max();
  return std::max<std::int64_t>(value, 0);
}

}  // namespace orvane::medical::fast
