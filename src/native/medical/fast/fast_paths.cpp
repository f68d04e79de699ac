#include "fast_paths.hpp"

#include "farthest_pair.hpp"
#include "nearest_shells.hpp"

namespace orvane::medical::fast {
namespace {

using rt::Ref;

// The module names and the numpy functions whose import-time objects the fast paths
// stand in for: a caller who rebinds one of them, or patches numpy.argmax, gets the
// plain path and so exactly the calls it makes.
bool module_untouched(const rt::Call& call) {
  return call.bound_at_import({"np", "combinations", "_to_shell", "binary_erosion", "np.argwhere",
                               "np.argmax", "np.argmin", "np.array", "np.asarray", "np.vstack",
                               "np.linalg", "np.linalg.norm"});
}

bool is_exact_ndarray(rt::Handle obj, rt::Handle ndarray_type) {
  return reinterpret_cast<PyObject*>(Py_TYPE(obj.get())) == ndarray_type.get();
}

// A 1..7-dimensional array of a readable element type, else nothing.
struct ReadableMask {
  rt::BufferView view;
  std::optional<ElementType> type;
  explicit ReadableMask(rt::Handle obj) : view(obj) {
    if (!view.empty() && view.ndim() >= 1 && view.ndim() <= kMaxAxes) type = element_type(view);
  }
};

Ref index_list(const std::array<std::int64_t, kMaxAxes>& point, std::size_t ndim) {
  Ref items = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ndim)));
  for (std::size_t k = 0; k < ndim; ++k) {
    PyList_SET_ITEM(items.get(), static_cast<Py_ssize_t>(k), rt::integer(point[k]).release());
  }
  return items;
}

}  // namespace

Ref points_pair(const rt::Call& call, rt::Handle x, rt::Handle sp) {
  if (!module_untouched(call)) return {};
  Ref ndarray_type = call.imported("np.ndarray");
  if (!is_exact_ndarray(x, ndarray_type)) return {};
  ReadableMask mask(x);
  if (!mask.type) return {};
  const std::size_t ndim = mask.view.ndim();
  auto spacing =
      read_spacing(sp.get(), ndim, ndarray_type.get(), call.imported("np.float64").get());
  if (!spacing) return {};
  auto pair = farthest_pair(MaskReader(mask.view, *mask.type), *spacing);
  if (!pair) return {};
  // Two rows of one index array, like the rows of argwhere that the plain path returns.
  Ref rows_list = rt::list({index_list(pair->first, ndim), index_list(pair->second, ndim)});
  Ref rows =
      rt::call(call.imported("np.array"), {rows_list}, {{"dtype", call.imported("np.intp")}});
  return rt::tuple({rt::getitem(rows, 0), rt::getitem(rows, 1)});
}

Ref minimum_dis(const rt::Call& call, rt::Handle x, rt::Handle y, rt::Handle sp) {
  if (!module_untouched(call)) return {};
  Ref ndarray_type = call.imported("np.ndarray");
  if (!is_exact_ndarray(x, ndarray_type) || !is_exact_ndarray(y, ndarray_type)) return {};
  ReadableMask first(x);
  ReadableMask second(y);
  // Float masks: astype(int) truncates and the shell differs from the non-zero test.
  for (const ReadableMask* mask : {&first, &second}) {
    if (!mask->type || mask->type->kind == ElementKind::Float) return {};
  }
  const std::size_t ndim = first.view.ndim();
  if (second.view.ndim() != ndim) return {};
  auto spacing =
      read_spacing(sp.get(), ndim, ndarray_type.get(), call.imported("np.float64").get());
  if (!spacing) return {};
  const std::vector<std::int64_t> xs = shell_points(MaskReader(first.view, *first.type));
  const std::vector<std::int64_t> ys = shell_points(MaskReader(second.view, *second.type));
  if (xs.empty() || ys.empty()) return {};  // the plain path raises numpy's error
  const ClosestPair pair = closest_pair(xs, ys, *spacing, ndim);

  // The final value is numpy's own norm of the chosen row, exactly as the plain path has it.
  std::array<std::int64_t, kMaxAxes> difference{};
  for (std::size_t k = 0; k < ndim; ++k) difference[k] = pair.to[k] - pair.from[k];
  Ref row_list = index_list(difference, ndim);
  Ref row_index =
      rt::call(call.imported("np.array"), {row_list}, {{"dtype", call.imported("np.intp")}});
  Ref spacing_array = rt::call(call.imported("np.asarray"), {sp});
  Ref row = Ref::steal(PyNumber_Multiply(row_index.get(), spacing_array.get()));
  return rt::call(call.imported("np.linalg.norm"), {row}, {{"ord", rt::integer(2)}});
}

}  // namespace orvane::medical::fast
