// The functions of the sample-image module, defined in their own files and bound by
// module.cpp.
#pragma once
#include "orvane/rt/runtime.hpp"

namespace orvane::instances {

extern const rt::FunctionSpec url_img;     // _url_img: download, decode, lay out
extern const rt::FunctionSpec as_boolean;  // _as_boolean: threshold to a mask

// The five public functions, anonymous, in binding order.
extern const rt::FunctionSpec cat;
extern const rt::FunctionSpec accent;
extern const rt::FunctionSpec blackcurrant;
extern const rt::FunctionSpec bricks;
extern const rt::FunctionSpec segs;

// The pixels of a grayscale image as a one-dimensional array of numpy's default
// integer type, what `np.array(gray.getdata())` gives (see pixels.cpp).
rt::Ref pixel_array(const rt::Call& call, rt::Handle gray);

}  // namespace orvane::instances
