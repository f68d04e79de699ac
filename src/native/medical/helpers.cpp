// The three anonymous helpers: an array as a SimpleITK image, the mask-pair test and
// coordinate scaling.
#include <algorithm>
#include <cstring>

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

// np.array([i * j for i, j in zip(x, _sp)])
Ref apply_spacing_body(rt::Call& call) {
  Ref array = np::attr(call, "array");
  Ref products = rt::new_list();
  Ref coordinates = rt::iter(call.arg(0));
  Ref spacings = rt::iter(call.arg(1));
  while (Ref coordinate = rt::next(coordinates)) {
    Ref spacing = rt::next(spacings);
    if (!spacing) break;
    rt::append(products, Ref::steal(PyNumber_Multiply(coordinate.get(), spacing.get())));
  }
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

bool all_true(const std::vector<rt::Ref>& results) {
  for (const rt::Ref& result : results) {
    if (!rt::truthy(result)) return false;
  }
  return true;
}

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

// `for _ in range(count): value = step(value)`, then the final value: no step when
// count <= 0. Each round first runs pending signal handlers, as the backward jump of a
// Python loop does, so Ctrl-C stops even 10**18 rounds. A round after which
// `settled(before, after)` holds reached a fixed point of the step: every round left would
// give the same value again, so the loop ends there, with the value it would end with.
template <class Step, class Settled>
rt::Ref repeat(rt::Handle count, rt::Ref value, Step&& step, Settled&& settled) {
  int overflow = 0;
  long long times = PyLong_AsLongLongAndOverflow(count.get(), &overflow);
  if (times == -1 && PyErr_Occurred()) rt::throw_error_set();
  if (overflow < 0 || (overflow == 0 && times <= 0)) return value;
  // Beyond the range of long long the count is still finite; the loop stops at a fixed
  // point or an interrupt long before 2**64 rounds.
  unsigned long long remaining = overflow > 0 ? ~0ULL : static_cast<unsigned long long>(times);
  for (; remaining != 0; --remaining) {
    rt::check_interrupts();
    rt::Ref next = step(value);
    const bool fixed_point = settled(value, next);
    value = std::move(next);
    if (fixed_point) break;
  }
  return value;
}

}  // namespace

rt::Ref morphology_rounds(const rt::Call& call, rt::Handle count, rt::Handle x, const char* name) {
  return repeat(
      count, rt::call_method(x, "copy"),
      [&](rt::Handle value) { return rt::call(call.global(name), {value}); },
      [&](rt::Handle before, rt::Handle after) {
        return call.bound_at_import({name}) && same_mask(before, after);
      });
}

namespace np {

rt::Ref as_int(rt::Handle obj) {
  return rt::call_method(obj, "astype", {reinterpret_cast<PyObject*>(&PyLong_Type)});
}

rt::Ref attr(const rt::Call& call, const char* name) {
  return rt::getattr(call.global("np"), name);
}

rt::Ref norm(const rt::Call& call) {
  return rt::getattr(attr(call, "linalg"), "norm");
}

}  // namespace np
}  // namespace orvane::medical
