// The pixel sequence of a grayscale image as a numpy array, by two routes that give the
// same array: np.array over getdata() (one Python int per pixel), and a native route
// over the image's raw bytes, taken only while the module's bindings, numpy.array and
// PIL's Image class with its getdata and tobytes are the ones seen at import, so that a
// caller who rebinds or patches any of them gets exactly the calls the plain route makes.
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
// Everything called is the import-time object.
Ref byte_route(const rt::Call& call, Handle gray) {
  Ref raw = rt::call(call.imported("PIL.Image.Image.tobytes"), {gray});
  Ref view =
      rt::call(call.imported("np.frombuffer"), {raw}, {{"dtype", call.imported("np.uint8")}});
  return rt::call_method(view, "astype", {call.imported("np.int_")});
}

bool originals_in_place(const rt::Call& call, Handle gray) {
  if (!call.bound_at_import({"np", "byte", "img_open", "as_gray", "np.array"}) ||
      !call.recorded_at_import({"PIL.Image.Image", "PIL.Image.Image.getdata",
                                "PIL.Image.Image.tobytes", "np.frombuffer", "np.uint8",
                                "np.int_"})) {
    return false;
  }
  Ref image_type = call.imported("PIL.Image.Image");
  if (reinterpret_cast<PyObject*>(Py_TYPE(gray.get())) != image_type.get()) return false;
  auto* type = reinterpret_cast<PyTypeObject*>(image_type.get());
  return rt::type_attribute(type, "getdata").get() ==
             call.imported("PIL.Image.Image.getdata").get() &&
         rt::type_attribute(type, "tobytes").get() ==
             call.imported("PIL.Image.Image.tobytes").get();
}

}  // namespace

Ref pixel_array(const rt::Call& call, Handle gray) {
  if (originals_in_place(call, gray) && has_byte_pixels(gray)) return byte_route(call, gray);
  Ref data = rt::call_method(gray, "getdata");
  return rt::call(rt::getattr(call.global("np"), "array"), {data});
}

}  // namespace orvane::instances
