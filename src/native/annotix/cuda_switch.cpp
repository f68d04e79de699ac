// The CUDA switch: cupy's ndarray when cupy can be imported, else numpy's.
#include "annotix.hpp"

namespace orvane::annotix {
namespace {

// `except ImportError as _:` binds the exception to `_` for the handler and deletes the
// name when the handler ends, however it ends.
class HandlerName {
 public:
  HandlerName(rt::ModuleBuilder& m, rt::Handle exception)
      : namespace_dict_(PyModule_GetDict(m.module())) {
    m.bind("_", exception);
  }
  ~HandlerName() {
    rt::PendingError pending;  // an error of the handler stays set across the removal
    if (PyDict_PopString(namespace_dict_, "_", nullptr) < 0) PyErr_Clear();
  }
  HandlerName(const HandlerName&) = delete;
  HandlerName& operator=(const HandlerName&) = delete;

 private:
  PyObject* namespace_dict_;
};

}  // namespace

void cuda_switch(rt::ModuleBuilder& m) {
  try {
    rt::Ref import = rt::builtin("__import__");
    rt::Ref cupy =
        rt::call(import, {rt::str("cupy")}, {{"fromlist", rt::list({rt::str("ndarray")})}});
    m.bind("cp_ndarray", rt::getattr(cupy, "ndarray"));
    m.bind("CUDA_AVAILABLE", Py_True);
  } catch (const rt::ErrorSet&) {
    // Only a missing or unloadable cupy switches CUDA off; any other failure ends the import.
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
    rt::Ref error = rt::Ref::steal(PyErr_GetRaisedException());
    const rt::Handling handling(error);  // the handler runs with the ImportError handled
    HandlerName handler_name(m, error);
    m.bind("cp_ndarray", m.get("np_ndarray"));
    m.bind("CUDA_AVAILABLE", Py_False);
  }
}

}  // namespace orvane::annotix
