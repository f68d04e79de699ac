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

// Where the import-time objects live: an attribute of _url_img, not module state, so
// nothing static is mutable and each module object keeps its own.
constexpr const char* kBindingsAttribute = "_import_bindings";
constexpr Py_ssize_t kBindingCount = 4;  // np, byte, img_open, as_gray

// The module's current `np`, read without raising (the plain route reports a missing one).
Ref peek_numpy(const rt::Call& call) {
  PyObject* found = nullptr;
  if (PyDict_GetItemStringRef(call.globals(), "np", &found) < 0) rt::throw_error_set();
  return Ref::steal_or_null(found);
}

bool bindings_unchanged(const rt::Call& call, Handle np, Handle byte, Handle img_open,
                        Handle as_gray) {
  Ref remembered = rt::getattr_optional(call.function(), kBindingsAttribute);
  if (!remembered || !PyTuple_CheckExact(remembered.get()) ||
      PyTuple_GET_SIZE(remembered.get()) != kBindingCount) {
    return false;
  }
  PyObject* current[kBindingCount] = {np.get(), byte.get(), img_open.get(), as_gray.get()};
  for (Py_ssize_t index = 0; index < kBindingCount; ++index) {
    if (PyTuple_GET_ITEM(remembered.get(), index) != current[index]) return false;
  }
  return true;
}

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

Ref pixel_array(const rt::Call& call, Handle gray, Handle byte, Handle img_open, Handle as_gray) {
  Ref np = peek_numpy(call);
  if (np && bindings_unchanged(call, np, byte, img_open, as_gray) && has_byte_pixels(gray)) {
    return byte_route(np, gray);
  }
  Ref data = rt::call_method(gray, "getdata");
  return rt::call(rt::getattr(call.global("np"), "array"), {data});
}

void remember_import_bindings(rt::ModuleBuilder& module, Handle url_img) {
  Ref bindings = rt::tuple(
      {module.get("np"), module.get("byte"), module.get("img_open"), module.get("as_gray")});
  rt::setattr(url_img, kBindingsAttribute, bindings);
}

}  // namespace orvane::instances
