// The three anonymous helpers: an array as a SimpleITK image, the mask-pair test and
// coordinate scaling.
#include "medical.hpp"

namespace orvane::medical {
namespace {

using rt::Ref;

Ref itk_img_body(rt::Call& call) {
  PyObject* org = call.arg(2);
  PyObject* direct = call.arg(3);
  Ref image = rt::call_method(call.global("Itk"), "GetImageFromArray", {call.arg(0)});
  rt::call_method(image, "SetSpacing", {call.arg(1)});
  if (org == Py_None) {
    rt::call_method(image, "SetOrigin",
                    {rt::list({rt::integer(0), rt::integer(0), rt::integer(0)})});
  } else {
    rt::call_method(image, "SetOrigin", {org});
  }
  if (direct != Py_None) rt::call_method(image, "SetDirection", {direct});
  return image;
}

Ref is_mask_pair_body(rt::Call& call) {
  PyObject* x = call.arg(0);
  Py_ssize_t length = PyObject_Length(x);
  if (length < 0) rt::throw_error_set();
  if (length != 2) return rt::boolean(false);

  // Only the leading extents that zip pairs are compared.
  Ref first_shape = rt::iter(rt::getattr(rt::getitem(x, 0), "shape"));
  Ref second_shape = rt::iter(rt::getattr(rt::getitem(x, 1), "shape"));
  std::vector<Ref> same_extent;
  while (Ref a = rt::next(first_shape)) {
    Ref b = rt::next(second_shape);
    if (!b) break;
    same_extent.push_back(rt::compare(a, b, Py_EQ));
  }
  if (!all_true(same_extent)) return rt::boolean(false);

  std::vector<Ref> boolean_dtype;
  Ref items = rt::iter(x);
  while (Ref item = rt::next(items)) {
    boolean_dtype.push_back(
        rt::compare(rt::getattr(item, "dtype"), reinterpret_cast<PyObject*>(&PyBool_Type), Py_EQ));
  }
  return rt::boolean(all_true(boolean_dtype));
}

Ref apply_spacing_body(rt::Call& call) {
  Ref products = rt::new_list();
  Ref coordinates = rt::iter(call.arg(0));
  Ref spacings = rt::iter(call.arg(1));
  while (Ref coordinate = rt::next(coordinates)) {
    Ref spacing = rt::next(spacings);
    if (!spacing) break;
    rt::append(products, Ref::steal(PyNumber_Multiply(coordinate.get(), spacing.get())));
  }
  return np::call(call, "array", {products});
}

constexpr rt::Param kItkParams[] = {
    {.name = "x"}, {.name = "sp"}, {.name = "org"}, {.name = "direct"}};
constexpr rt::Param kPairParams[] = {{.name = "x"}};
constexpr rt::Param kSpacingParams[] = {{.name = "x"}, {.name = "_sp"}};

}  // namespace

const rt::FunctionSpec itk_img{.name = "<lambda>", .params = kItkParams, .body = itk_img_body};
const rt::FunctionSpec is_mask_pair{
    .name = "<lambda>", .params = kPairParams, .body = is_mask_pair_body};
const rt::FunctionSpec apply_spacing{
    .name = "<lambda>", .params = kSpacingParams, .body = apply_spacing_body};

bool all_true(const std::vector<rt::Ref>& results) {
  for (const rt::Ref& result : results) {
    if (!rt::truthy(result)) return false;
  }
  return true;
}

namespace np {

rt::Ref as_int(rt::Handle obj) {
  return rt::call_method(obj, "astype", {reinterpret_cast<PyObject*>(&PyLong_Type)});
}

rt::Ref call(const rt::Call& call, const char* name, std::initializer_list<rt::Handle> args,
             std::initializer_list<rt::Kw> kwargs) {
  return rt::call(rt::getattr(call.global("np"), name), args, kwargs);
}

void set_where(const rt::Call& call, rt::Handle arr, rt::Handle condition, rt::Handle value) {
  rt::setitem(arr, np::call(call, "where", {condition}), value);
}

}  // namespace np
}  // namespace orvane::medical
