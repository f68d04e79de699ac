// Module initialisation of orvane.basic.instances: its statements, in order.
#include "instances.hpp"

namespace orvane::instances {
namespace {

using rt::Ref;

// __import__(module, fromlist=[name]).name: with a non-empty fromlist, __import__
// returns the (sub)module itself.
Ref import_from(rt::Handle import, const char* module, const char* name) {
  Ref source = rt::call(import, {rt::str(module)}, {{"fromlist", rt::list({rt::str(name)})}});
  return rt::getattr(source, name);
}

// PIL's Image class and its two methods that the byte route stands in for, as they are
// now; left unrecorded (so the plain route runs) where they cannot be read.
void remember_image_type(rt::ModuleBuilder& m) {
  Ref image_type =
      rt::ModuleBuilder::read_for_bookkeeping([] { return rt::from_import("PIL.Image", "Image"); });
  if (!image_type || !PyType_Check(image_type.get())) return;
  auto* type = reinterpret_cast<PyTypeObject*>(image_type.get());
  Ref getdata = rt::type_attribute(type, "getdata");
  Ref tobytes = rt::type_attribute(type, "tobytes");
  if (!getdata || !tobytes) return;
  m.remember("PIL.Image.Image", image_type);
  m.remember("PIL.Image.Image.getdata", getdata);
  m.remember("PIL.Image.Image.tobytes", tobytes);
}

void exec_instances(rt::ModuleBuilder& m) {
  m.bind("Literal", rt::from_import("typing", "Literal"));
  m.bind("Tuple", rt::from_import("typing", "Tuple"));
  m.bind("np", rt::import_module("numpy"));
  m.bind("ndarray", rt::from_import("numpy", "ndarray"));

  Ref import = rt::builtin("__import__");
  m.bind("connect", import_from(import, "requests", "get"));
  m.bind("byte", import_from(import, "io", "BytesIO"));
  m.bind("img_open", import_from(import, "PIL.Image", "open"));
  m.bind("as_gray", import_from(import, "PIL.ImageOps", "grayscale"));
  // What the byte route of the pixel array stands in for and calls (nothing is bound).
  for (const char* path : {"np.array", "np.frombuffer", "np.uint8", "np.int_"}) m.remember(path);
  remember_image_type(m);

  m.bind("_url_img", m.function(url_img, rt::tuple({rt::str("C"), Py_False})));
  m.bind("_as_boolean", m.function(as_boolean));

  m.bind("cat", m.function(cat));
  m.bind("accent", m.function(accent));
  m.bind("blackcurrant", m.function(blackcurrant));
  m.bind("bricks", m.function(bricks));
  m.bind("segs", m.function(segs));
  m.bind("__all__", rt::list({rt::str("cat"), rt::str("accent"), rt::str("blackcurrant"),
                              rt::str("bricks"), rt::str("segs")}));
}

}  // namespace
}  // namespace orvane::instances

ORVANE_MODULE(instances, orvane::instances::exec_instances)
