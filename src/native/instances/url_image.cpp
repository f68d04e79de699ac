// _url_img: one download, decoded to 8-bit grayscale and laid out as an array.
#include "instances.hpp"

namespace orvane::instances {
namespace {

using rt::Ref;

// Seconds the default download may wait to connect and between bytes: generous, but a
// dead server no longer holds the call for ever.
constexpr long long kDownloadTimeout = 60;

// connect(url). While `connect` is the import-time requests.get, the download gets a
// time-out, and an HTTP error status raises requests' HTTPError, which names the URL
// (otherwise the error page would reach the image decoder). A connect rebound by the
// caller gets exactly the one-argument call.
Ref download(rt::Call& call, rt::Handle url) {
  Ref connect = call.global("connect");
  if (!call.bound_at_import({"connect"})) return rt::call(connect, {url});
  Ref response = rt::call(connect, {url}, {{"timeout", rt::integer(kDownloadTimeout)}});
  rt::call_method(response, "raise_for_status");
  return response;
}

Ref url_img_body(rt::Call& call) {
  PyObject* url = call.arg(0);
  PyObject* shape = call.arg(1);
  PyObject* order = call.arg(2);
  PyObject* trans = call.arg(3);

  Ref response = download(call, url);
  // as_gray(img_open(byte(src.content))): the callees are looked up before the calls.
  Ref as_gray = call.global("as_gray");
  Ref img_open = call.global("img_open");
  Ref byte = call.global("byte");
  Ref stream = rt::call(byte, {rt::getattr(response, "content")});
  Ref gray = rt::call(as_gray, {rt::call(img_open, {stream})});

  Ref pixels = pixel_array(call, gray);
  Ref image = rt::call_method(pixels, "reshape", {shape}, {{"order", order}});
  if (rt::truthy(trans)) {
    image = rt::call(rt::getattr(call.global("np"), "flip"), {image}, {{"axis", rt::integer(1)}});
  }
  return image;
}

const rt::Param kParams[] = {
    {.name = "url", .annotation = "str", .exact_type = &PyUnicode_Type},
    {.name = "shape", .annotation = "Tuple[int, ...]", .exact_type = &PyTuple_Type},
    {.name = "order", .annotation = "Literal['C', 'F']"},
    {.name = "trans", .annotation = "bool"},
};

}  // namespace

const rt::FunctionSpec url_img{
    .name = "_url_img", .params = kParams, .body = url_img_body, .return_annotation = "ndarray"};

}  // namespace orvane::instances
