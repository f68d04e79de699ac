// The annotations of a native function are kept by a Python function of the same name,
// place and parameters, made by the running interpreter from a `def` with the same string
// annotations. Its __annotations__ (and, where the interpreter has it, __annotate__) stand
// for the native function's: how they are made, read, replaced and deleted, what
// annotationlib and functools.wraps find, and every message, are the interpreter's own.
#include <string_view>

#include "function_object.hpp"
#include "interpreter.hpp"
#include "orvane/rt/object.hpp"

namespace orvane::rt::detail {
namespace {

// Python source, gathered as str objects and joined once: no libstdc++ string operation is
// involved (with GCC 13 and later some call a symbol that older systems lack, which would
// raise the wheel's manylinux tag).
class Source {
 public:
  Source() : parts_(new_list()) {}
  Source& operator<<(std::string_view text) {
    append(parts_, str(text));
    return *this;
  }
  Source& operator<<(Handle text) {
    append(parts_, text);
    return *this;
  }
  Ref joined() const { return Ref::steal(PyUnicode_Join(str("").get(), parts_.get())); }

 private:
  Ref parts_;
};

// The parameters, with their annotations as string literals (repr) where `annotated`.
void add_parameters(Source& source, const FunctionSpec& spec, bool annotated) {
  bool first = true;
  for (const Param& param : spec.params) {
    if (!first) source << ", ";
    first = false;
    if (param.kind == ParamKind::VarPositional) source << "*";
    if (param.kind == ParamKind::VarKeyword) source << "**";
    source << param.name;
    if (annotated && param.annotation != nullptr) source << ": " << repr(str(param.annotation));
  }
}

// The parts of a dotted qualified name ("GauWisTP.rvs") as a list of str, or an empty Ref
// when one is no identifier.
Ref identifiers(PyObject* qualname) {
  Ref parts = call_method(qualname, "split", {str(".")});
  for (Py_ssize_t index = 0; index < PyList_GET_SIZE(parts.get()); ++index) {
    if (PyUnicode_IsIdentifier(PyList_GET_ITEM(parts.get(), index)) != 1) return {};
  }
  return parts;
}

}  // namespace

Ref make_annotation_holder(const FunctionSpec& spec, PyObject* qualname, PyObject* globals) {
  Source source;
  Ref path;  // the name the source binds, then the attributes that lead to the function
  if (std::string_view(spec.name) == "<lambda>") {
    source << "holder = lambda ";
    add_parameters(source, spec, false);
    source << ": None\n";
    path = list({str("holder")});
  } else {
    // Nested in classes named as in the qualified name, as a method's `def` is, so that the
    // interpreter names the annotate function as it would.
    path = identifiers(qualname);
    const Py_ssize_t depth = path ? PyList_GET_SIZE(path.get()) : 0;
    if (depth == 0 || !PyUnicode_EqualToUTF8(PyList_GET_ITEM(path.get(), depth - 1), spec.name)) {
      path = list({str(spec.name)});
    }
    const auto classes = static_cast<std::size_t>(PyList_GET_SIZE(path.get()) - 1);
    // The `def` on the line of the C++ definition, as the function's code object says.
    const std::size_t line = spec.where.line();
    if (line > classes + 1)
      source << multiply(str("\n"), integer(static_cast<long long>(line - classes - 1)));
    for (std::size_t k = 0; k < classes; ++k) {
      source << multiply(str(" "), integer(static_cast<long long>(k))) << "class "
             << PyList_GET_ITEM(path.get(), static_cast<Py_ssize_t>(k)) << ":\n";
    }
    source << multiply(str(" "), integer(static_cast<long long>(classes))) << "def " << spec.name
           << "(";
    add_parameters(source, spec, true);
    source << ")";
    if (spec.return_annotation != nullptr) source << " -> " << repr(str(spec.return_annotation));
    source << ": pass\n";
  }
  Ref made = new_dict();
  run_unobserved(source.joined(), spec.where.file_name(), globals, made.get());
  Ref holder = getitem(made, PyList_GET_ITEM(path.get(), 0));
  for (Py_ssize_t index = 1; index < PyList_GET_SIZE(path.get()); ++index) {
    holder = getattr(holder, PyList_GET_ITEM(path.get(), index));
  }
  return holder;
}

}  // namespace orvane::rt::detail
