#include "fast_paths.hpp"

#include "farthest_pair.hpp"
#include "gate.hpp"
#include "nearest_shells.hpp"

namespace orvane::medical::fast {
namespace {

using rt::Ref;

// The module names, built-ins and numpy functions whose import-time objects the fast
// paths stand in for: a caller who rebinds one of them, or patches numpy.argmax, gets the
// plain path and so exactly the calls it makes. (_minimum_dis calls _to_shell, whose
// steps use range, int, bool and binary_erosion.)
bool module_untouched(const rt::Call& call) {
  return call.bound_at_import({"np", "combinations", "enumerate", "_to_shell", "binary_erosion",
                               "range", "int", "bool", "np.argwhere", "np.argmax", "np.argmin",
                               "np.array", "np.asarray", "np.vstack", "np.linalg",
                               "np.linalg.norm"});
}

Ref index_list(const Index& point, std::size_t ndim) {
  Ref items = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ndim)));
  for (std::size_t k = 0; k < ndim; ++k) {
    PyList_SET_ITEM(items.get(), static_cast<Py_ssize_t>(k), rt::integer(point[k]).release());
  }
  return items;
}

}  // namespace

Ref points_pair(const rt::Call& call, rt::Handle x, rt::Handle sp) {
  if (!module_untouched(call)) return {};
  const ReadableMask mask(call, x, true);  // argwhere reads floats by their truth
  if (!mask.mask()) return {};
  const std::size_t ndim = mask.mask()->geometry.ndim;
  auto spacing = read_spacing(sp.get(), ndim, call.imported("np.ndarray").get(),
                              call.imported("np.float64").get());
  if (!spacing) return {};
  std::optional<PointPair> pair;
  std::int64_t count = 0;
  const Isa isa = isa_of(call);
  {
    rt::WithoutGil gil;
    pair = farthest_pair(*mask.mask(), *spacing, isa, count, gil);
  }
  if (count < 2) {
    // No pair: the plain steps' list of differences is empty, and what they do with it
    // fails. Those steps, on that empty list, raise numpy's own error.
    Ref differences = rt::call(call.imported("np.array"), {rt::new_list()});
    Ref scaled = Ref::steal(PyNumber_Multiply(differences.get(), sp.get()));
    Ref lengths = rt::call(call.imported("np.linalg.norm"), {scaled},
                           {{"ord", rt::integer(2)}, {"axis", rt::integer(1)}});
    rt::call(call.imported("np.argmax"), {lengths});
  }
  if (!pair) return {};
  // Two rows of one index array, like the rows of argwhere that the plain path returns.
  Ref rows_list = rt::list({index_list(pair->first, ndim), index_list(pair->second, ndim)});
  Ref rows =
      rt::call(call.imported("np.array"), {rows_list}, {{"dtype", call.imported("np.intp")}});
  return rt::tuple({rt::getitem(rows, 0), rt::getitem(rows, 1)});
}

Ref minimum_dis(const rt::Call& call, rt::Handle x, rt::Handle y, rt::Handle sp) {
  if (!module_untouched(call)) return {};
  // Float masks: astype(int) truncates and the shell differs from the non-zero test.
  const ReadableMask first(call, x);
  const ReadableMask second(call, y);
  if (!first.mask() || !second.mask()) return {};
  const std::size_t ndim = first.mask()->geometry.ndim;
  if (second.mask()->geometry.ndim != ndim) return {};
  auto spacing = read_spacing(sp.get(), ndim, call.imported("np.ndarray").get(),
                              call.imported("np.float64").get());
  if (!spacing) return {};
  ClosestPair pair;
  bool no_x = false;
  bool no_y = false;
  const Isa isa = isa_of(call);
  {
    rt::WithoutGil gil;
    // A shared element ends the listing of the shells: its row of zeros is the shortest,
    // and every such row has the same length, 0.
    const bool stop_at_shared = shared_elements_are_closest(*spacing, ndim);
    const ShellPoints shells =
        shell_points(*first.mask(), *second.mask(), stop_at_shared, isa, gil);
    if (shells.shared) {
      pair.from = *shells.shared;
      pair.to = *shells.shared;
    } else {
      no_x = shells.x.empty();
      no_y = shells.y.empty();
      if (!no_x && !no_y) pair = closest_pair(shells.x, shells.y, *spacing, ndim, gil);
    }
  }
  if (no_x || no_y) {
    // An empty shell: the plain steps' stack of differences fails (no block), or holds no
    // row to pick. Those steps, on what they would have, raise numpy's own error.
    Ref blocks = rt::new_list();
    if (!no_x) {
      const std::int64_t no_rows[] = {0, static_cast<std::int64_t>(ndim)};
      rt::append(blocks, new_array(call, no_rows, call.imported("np.intp")));
    }
    Ref stacked = rt::call(call.imported("np.vstack"), {blocks});
    Ref spacing_array = rt::call(call.imported("np.asarray"), {sp});
    Ref scaled = Ref::steal(PyNumber_Multiply(stacked.get(), spacing_array.get()));
    Ref lengths = rt::call(call.imported("np.linalg.norm"), {scaled},
                           {{"ord", rt::integer(2)}, {"axis", rt::integer(1)}});
    rt::call(call.imported("np.argmin"), {lengths});
    return {};  // not reached: numpy refuses an empty sequence
  }

  // The final value is numpy's own norm of the chosen row, exactly as the plain path has it.
  Index difference{};
  for (std::size_t k = 0; k < ndim; ++k) difference[k] = pair.to[k] - pair.from[k];
  Ref row_list = index_list(difference, ndim);
  Ref row_index =
      rt::call(call.imported("np.array"), {row_list}, {{"dtype", call.imported("np.intp")}});
  Ref spacing_array = rt::call(call.imported("np.asarray"), {sp});
  Ref row = Ref::steal(PyNumber_Multiply(row_index.get(), spacing_array.get()));
  return rt::call(call.imported("np.linalg.norm"), {row}, {{"ord", rt::integer(2)}});
}

}  // namespace orvane::medical::fast
