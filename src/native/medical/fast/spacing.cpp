#include "spacing.hpp"

#include <algorithm>

namespace orvane::medical::fast {
namespace {

// Integer spacings are multiplied in int64 by numpy; below 2**31 the product is exact and
// equals the double product rounded once, which is what scaled_length computes.
constexpr double kLargestIntSpacing = 2147483648.0;
// Within these magnitudes every scaled difference (an index difference below 2**63 times
// a spacing), its square and a sum of seven squares are normal, finite doubles: the
// computed lengths then round as the fast paths' arguments assume. Tinier spacings make
// squares underflow (a spacing of 1e-200 makes every length 0, and every pair ties), huger
// ones overflow; both are left to the plain path.
constexpr double kSmallestSpacing = 0x1p-400;
constexpr double kLargestSpacing = 0x1p400;

bool usable(double value) {
  const double magnitude = std::abs(value);
  if (!std::isfinite(value)) return false;
  return magnitude == 0.0 || (kSmallestSpacing <= magnitude && magnitude <= kLargestSpacing);
}

std::optional<double> read_number(PyObject* item, PyObject* float64_type) {
  // numpy.float64 (the type numpy had at import, whatever numpy.float64 names now) is a
  // float subclass holding the same double; PyFloat_Check vouches for the layout.
  const bool is_float64 = reinterpret_cast<PyObject*>(Py_TYPE(item)) == float64_type;
  if (PyFloat_CheckExact(item) || (is_float64 && PyFloat_Check(item))) {
    double value = PyFloat_AS_DOUBLE(item);
    if (!usable(value)) return std::nullopt;
    return value;
  }
  if (PyLong_CheckExact(item)) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow != 0 || (value == -1 && PyErr_Occurred())) {
      PyErr_Clear();
      return std::nullopt;
    }
    if (std::abs(static_cast<double>(value)) >= kLargestIntSpacing) return std::nullopt;
    return static_cast<double>(value);
  }
  return std::nullopt;
}

}  // namespace

double Spacing::smallest_magnitude() const noexcept {
  double smallest = std::abs(values[0]);
  for (std::size_t k = 1; k < size; ++k) smallest = std::min(smallest, std::abs(values[k]));
  return smallest;
}

std::optional<Spacing> read_spacing(PyObject* sp, std::size_t ndim, PyObject* ndarray_type,
                                    PyObject* float64_type) {
  Spacing spacing;
  spacing.size = ndim;
  if (PyList_CheckExact(sp) || PyTuple_CheckExact(sp)) {
    if (PySequence_Fast_GET_SIZE(sp) != static_cast<Py_ssize_t>(ndim)) return std::nullopt;
    for (std::size_t k = 0; k < ndim; ++k) {
      auto value =
          read_number(PySequence_Fast_GET_ITEM(sp, static_cast<Py_ssize_t>(k)), float64_type);
      if (!value) return std::nullopt;
      spacing.values[k] = *value;
    }
    return spacing;
  }
  if (reinterpret_cast<PyObject*>(Py_TYPE(sp)) == ndarray_type) {
    rt::BufferView view(sp);
    const char* format = view.empty() ? nullptr : view.native_format();
    if (format == nullptr || format[0] != 'd' || format[1] != '\0' || view.itemsize() != 8 ||
        view.ndim() != 1 || view.shape()[0] != static_cast<Py_ssize_t>(ndim)) {
      return std::nullopt;
    }
    for (std::size_t k = 0; k < ndim; ++k) {
      double value = load<double>(view.data() + static_cast<Py_ssize_t>(k) * view.strides()[0]);
      if (!usable(value)) return std::nullopt;
      spacing.values[k] = value;
    }
    return spacing;
  }
  if (auto value = read_number(sp, float64_type)) {
    spacing.values.fill(*value);
    return spacing;
  }
  return std::nullopt;
}

}  // namespace orvane::medical::fast
