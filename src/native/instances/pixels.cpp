// The pixel sequence of a grayscale image as a numpy array, by two routes that give the
// same array: np.array over getdata() (one Python int per pixel), and a native route
// over the image's raw bytes, taken only while the module's bindings are the ones made
// at import, so that a caller who rebinds np, byte, img_open or as_gray gets exactly
// the calls that the plain route makes.
#include "instances.hpp"

namespace orvane::instances {
namespace {

using rt::Handle;
using rt::Ref;

// Raw bytes equal the getdata() sequence only for one byte per pixel ("L"); an empty
// image is left to the plain route, where numpy makes a float array of nothing.
bool has_byte_pixels(Handle gray) {
  Ref mode = rt::getattr(gray, "mode");
  if (!PyUnicode_Check(mode.get()) || !PyUnicode_EqualToUTF8(mode.get(), "L")) return false;
  return rt::truthy(rt::getattr(gray, "width")) && rt::truthy(rt::getattr(gray, "height"));
}

// tobytes() holds the pixels row by row from the top, as getdata() yields them; the
// copy into numpy's default integer type gives the dtype that np.array chooses for ints.
Ref byte_route(Handle np, Handle gray) {
  Ref raw = rt::call_method(gray, "tobytes");
  Ref view = rt::call(rt::getattr(np, "frombuffer"), {raw}, {{"dtype", rt::getattr(np, "uint8")}});
  return rt::call_method(view, "astype", {rt::getattr(np, "int_")});
}

}  // namespace

Ref pixel_array(const rt::Call& call, Handle gray) {
  if (call.bound_at_import({"np", "byte", "img_open", "as_gray"}) && has_byte_pixels(gray)) {
    return byte_route(call.global("np"), gray);
  }
  Ref data = rt::call_method(gray, "getdata");
  return rt::call(rt::getattr(call.global("np"), "array"), {data});
}

}  // namespace orvane::instances
