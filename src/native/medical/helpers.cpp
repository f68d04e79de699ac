// The three anonymous helpers: an array as a SimpleITK image, the mask-pair test and
// coordinate scaling.
#include <algorithm>
#include <cstring>
#include <vector>

#include "medical.hpp"
#include "orvane/rt/buffer.hpp"

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

// False if len(x) != 2 else (all([i == j for i, j in zip(x[0].shape, x[1].shape)]) and
// all([i.dtype == bool for i in x])), each built-in read where the body reads it.
Ref is_mask_pair_body(rt::Call& call) {
  PyObject* x = call.arg(0);
  Ref len = call.global("len");
  Ref length = rt::call(len, {x});
  if (rt::truthy(rt::compare(length, rt::integer(2), Py_NE))) return rt::boolean(false);

  // Only the leading extents that zip pairs are compared.
  Ref all = call.global("all");
  Ref first_shape = rt::getattr(rt::getitem(x, 0), "shape");
  Ref second_shape = rt::getattr(rt::getitem(x, 1), "shape");
  Ref same_extent = rt::new_list();
  for_zip(call, first_shape, second_shape,
          [&](rt::Handle a, rt::Handle b) { rt::append(same_extent, rt::compare(a, b, Py_EQ)); });
  Ref extents_agree = rt::call(all, {same_extent});
  if (!rt::truthy(extents_agree)) return extents_agree;

  all = call.global("all");
  Ref boolean_dtype = rt::new_list();
  Ref items = rt::iter(x);
  while (Ref item = rt::next(items)) {
    Ref dtype = rt::getattr(item, "dtype");
    rt::append(boolean_dtype, rt::compare(dtype, call.global("bool"), Py_EQ));
  }
  return rt::call(all, {boolean_dtype});
}

// np.array([i * j for i, j in zip(x, _sp)])
Ref apply_spacing_body(rt::Call& call) {
  Ref array = np::attr(call, "array");
  Ref products = rt::new_list();
  for_zip(call, call.arg(0), call.arg(1),
          [&](rt::Handle i, rt::Handle j) { rt::append(products, rt::multiply(i, j)); });
  return rt::call(array, {products});
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

namespace {

bool is_bool_buffer(const rt::BufferView& view) {
  const char* format = view.empty() ? nullptr : view.native_format();
  return format != nullptr && std::strcmp(format, "?") == 0 && view.itemsize() == 1;
}

// Compares the elements of two equally shaped boolean buffers by truth value, walking
// each with its own strides (either may be a non-contiguous or reversed view): one line
// along the last axis at a time.
bool equal_elements(const rt::BufferView& a, const rt::BufferView& b) {
  const std::size_t ndim = a.ndim();
  if (ndim == 0) return (*a.data() != 0) == (*b.data() != 0);
  for (std::size_t k = 0; k < ndim; ++k) {
    if (a.shape()[k] == 0) return true;
  }
  const std::size_t last = ndim - 1;
  std::vector<Py_ssize_t> index(ndim, 0);
  for (;;) {
    const char* p = a.data();
    const char* q = b.data();
    for (std::size_t k = 0; k < last; ++k) {
      p += index[k] * a.strides()[k];
      q += index[k] * b.strides()[k];
    }
    for (Py_ssize_t i = 0; i < a.shape()[last]; ++i) {
      if ((p[i * a.strides()[last]] != 0) != (q[i * b.strides()[last]] != 0)) return false;
    }
    std::size_t axis = last;
    for (;;) {
      if (axis == 0) return true;
      --axis;
      if (++index[axis] < a.shape()[axis]) break;
      index[axis] = 0;
    }
  }
}

// True when `before` and `after` are arrays of one type, both boolean with one byte per
// element, of one shape and equal element by element.
bool same_mask(rt::Handle before, rt::Handle after) {
  if (Py_TYPE(before.get()) != Py_TYPE(after.get())) return false;
  const rt::BufferView a(before);
  const rt::BufferView b(after);
  if (!is_bool_buffer(a) || !is_bool_buffer(b) || a.ndim() != b.ndim()) return false;
  if (!std::equal(a.shape().begin(), a.shape().end(), b.shape().begin())) return false;
  return equal_elements(a, b);
}

}  // namespace

rt::Ref morphology_rounds(const rt::Call& call, rt::Handle count, rt::Handle x, const char* name) {
  rt::Ref value = rt::call_method(x, "copy");
  rt::Ref range = call.global("range");
  rt::Ref rounds = rt::iter(rt::call(range, {count}));
  while (rt::Ref round = rt::next(rounds)) {
    rt::Ref next = rt::call(call.global(name), {value});
    const bool fixed_point = call.bound_at_import({name, "range"}) && same_mask(value, next);
    value = std::move(next);
    if (fixed_point) break;
  }
  return value;
}

namespace np {

rt::Ref as_type(const rt::Call& call, rt::Handle obj, const char* builtin,
                std::initializer_list<rt::Kw> kwargs) {
  rt::Ref astype = rt::getattr(obj, "astype");
  rt::Ref type = call.global(builtin);
  return rt::call(astype, {type}, kwargs);
}

rt::Ref attr(const rt::Call& call, const char* name) {
  return rt::getattr(call.global("np"), name);
}

rt::Ref norm(const rt::Call& call) {
  return rt::getattr(attr(call, "linalg"), "norm");
}

}  // namespace np
}  // namespace orvane::medical
