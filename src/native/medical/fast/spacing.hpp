// Spacings that the fast paths accept, as doubles, and the length formula of the plain
// path: sqrt of the squares of the scaled integer differences, summed left to right.
#pragma once
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>

#include "mask.hpp"

namespace orvane::medical::fast {

struct Spacing {
  std::array<double, kMaxAxes> values{};
  std::size_t size = 0;
  double smallest_magnitude() const noexcept;
};

// A list or tuple of Python ints and floats (numpy.float64 counts as a float), a single
// such number (applied to every axis), or a 1-D float64 ndarray; each entry 0 or of a
// magnitude from 2**-400 to 2**400 (so that no square underflows or overflows). Anything
// else: nullopt, and the caller runs the plain path, which decides what the object means.
// `ndarray_type` and `float64_type` are numpy's types as recorded at import.
std::optional<Spacing> read_spacing(PyObject* sp, std::size_t ndim, PyObject* ndarray_type,
                                    PyObject* float64_type);

// The plain path's length of the difference p - q (numpy: integer difference, times the
// spacing, squared, summed left to right, square root). Needs -ffp-contract=off.
inline double scaled_length(const std::int64_t* p, const std::int64_t* q, const Spacing& sp,
                            std::size_t ndim) noexcept {
  double sum = 0.0;
  for (std::size_t k = 0; k < ndim; ++k) {
    const double scaled = static_cast<double>(p[k] - q[k]) * sp.values[k];
    sum = sum + scaled * scaled;
  }
  return std::sqrt(sum);
}

}  // namespace orvane::medical::fast
