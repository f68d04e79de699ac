// The shell of one erosion of a mask laid out in another order of its axes than C order (a
// Fortran-ordered volume, as nibabel gives a NIfTI image): its planes are worked out in
// the mask's own memory order and written across into the C-ordered result.
#pragma once
#include <cstdint>

#include "isa.hpp"
#include "mask.hpp"
#include "orvane/rt/gil.hpp"

namespace orvane::medical::fast {

// The shell into `out` (C-ordered, of x's shape), as shell_by_planes has it; false (nothing
// written) where x's layout does not suit: one axis, planes of x (its two smallest strides)
// not contiguous, or, from three axes on, the result's last axis among them (then C order
// reads x well enough). A 2-D mask takes this route in Fortran order.
bool shell_across_planes(const MaskData& x, std::uint8_t* out, Isa isa, rt::WithoutGil& gil);

}  // namespace orvane::medical::fast
