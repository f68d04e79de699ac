// Module initialisation of orvane.basic.medical: its statements, in order.
#include "fast/isa.hpp"
#include "medical.hpp"

namespace orvane::medical {
namespace {

using rt::Ref;

void exec_medical(rt::ModuleBuilder& m) {
  m.bind("combinations", rt::from_import("itertools", "combinations"));
  // One from-import of three names: the module is imported once, then each is read.
  rt::import_module("scipy.ndimage");
  m.bind("binary_dilation", rt::from_import("scipy.ndimage", "binary_dilation"));
  m.bind("binary_erosion", rt::from_import("scipy.ndimage", "binary_erosion"));
  m.bind("label", rt::from_import("scipy.ndimage", "label"));

  // The built-in __import__ as found when the module is imported.
  Ref import = rt::builtin("__import__");
  m.bind("Itk", rt::call(import, {rt::str("SimpleITK")}));
  m.bind("np", rt::call(import, {rt::str("numpy")}));
  Ref spatial = rt::call(import, {rt::str("scipy.spatial")},
                         {{"fromlist", rt::list({rt::str("ConvexHull")})}});
  m.bind("_convex", rt::getattr(spatial, "ConvexHull"));
  // What the fast paths stand in for and use, as numpy and the built-ins have it now
  // (nothing is bound).
  for (const char* path :
       {"np.ndarray", "np.float64", "np.intp", "np.argwhere", "np.argmax", "np.argmin", "np.array",
        "np.asarray", "np.vstack", "np.linalg.norm", "np.where", "np.zeros_like", "np.ones_like",
        "np.empty", "np.empty_like", "int", "bool", "range", "enumerate"}) {
    m.remember(path);
  }
  fast::remember_isa(m);

  m.bind("_itk_img", m.function(itk_img, rt::tuple({Py_None, Py_None})));
  m.bind("_is_mask_pair", m.function(is_mask_pair));
  m.bind("_apply_spacing", m.function(apply_spacing));
  m.bind("_superposition", m.function(superposition));
  m.bind("_is_enclosed", m.function(is_enclosed));
  m.bind("_diff_set", m.function(diff_set));
  m.bind("_union_set", m.function(union_set));
  m.bind("_points_pair", m.function(points_pair));
  m.bind("_to_shell", m.function(to_shell, rt::tuple({rt::integer(1)})));
  m.bind("_minimum_dis", m.function(minimum_dis));
  m.bind("_is_cross", m.function(is_cross));
}

}  // namespace
}  // namespace orvane::medical

ORVANE_MODULE(medical, orvane::medical::exec_medical)
