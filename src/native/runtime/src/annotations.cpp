// The annotations of a native function are kept by a Python function of the same name,
// place and parameters, made by the running interpreter from a `def` with the same string
// annotations. Its __annotations__ (and, where the interpreter has it, __annotate__) stand
// for the native function's: how they are made, read, replaced and deleted, what
// annotationlib and functools.wraps find, and every message, are the interpreter's own.
#include <string>
#include <string_view>
#include <vector>

#include "function_object.hpp"
#include "interpreter.hpp"
#include "orvane/rt/object.hpp"

namespace orvane::rt::detail {
namespace {

// A string literal of `text`, as repr() writes it.
std::string literal(const char* text) {
  Ref quoted = repr(str(text));
  const char* utf8 = PyUnicode_AsUTF8(quoted.get());
  if (utf8 == nullptr) throw_error_set();
  return utf8;
}

std::string parameter_list(const FunctionSpec& spec, bool annotated) {
  std::string list;
  for (const Param& param : spec.params) {
    if (!list.empty()) list += ", ";
    if (param.kind == ParamKind::VarPositional) list += "*";
    if (param.kind == ParamKind::VarKeyword) list += "**";
    list += param.name;
    if (annotated && param.annotation != nullptr) {
      list += ": ";
      list += literal(param.annotation);
    }
  }
  return list;
}

// The parts of a dotted qualified name ("GauWisTP.rvs"), or none when one is no identifier.
std::vector<std::string> identifiers(PyObject* qualname) {
  std::vector<std::string> parts;
  Ref split = call_method(qualname, "split", {str(".")});
  for (Py_ssize_t index = 0; index < PyList_GET_SIZE(split.get()); ++index) {
    PyObject* part = PyList_GET_ITEM(split.get(), index);
    if (PyUnicode_IsIdentifier(part) != 1) return {};
    parts.emplace_back(PyUnicode_AsUTF8(part));
  }
  return parts;
}

}  // namespace

Ref make_annotation_holder(const FunctionSpec& spec, PyObject* qualname, PyObject* globals) {
  std::string source;
  std::vector<std::string> path{"holder"};
  if (std::string_view(spec.name) == "<lambda>") {
    source += "holder = lambda ";
    source += parameter_list(spec, false);
    source += ": None\n";
  } else {
    // Nested in classes named as in the qualified name, as a method's `def` is, so that the
    // interpreter names the annotate function as it would.
    std::vector<std::string> parts = identifiers(qualname);
    if (parts.empty() || parts.back() != spec.name) parts = {spec.name};
    std::string indent;
    for (std::size_t depth = 0; depth + 1 < parts.size(); ++depth) {
      source += indent + "class " + parts[depth] + ":\n";
      indent += " ";
    }
    source += indent + "def " + spec.name + "(" + parameter_list(spec, true) + ")";
    if (spec.return_annotation != nullptr) {
      source += " -> ";
      source += literal(spec.return_annotation);
    }
    source += ": pass\n";
    // The `def` on the line of the C++ definition, as the function's code object says.
    // (Appended to, never inserted into: with GCC 13 and later, inserting into a string
    // calls a libstdc++ symbol that older systems lack, raising the wheel's manylinux tag.)
    const std::size_t line = spec.where.line();
    std::string lines(line > parts.size() ? line - parts.size() : 0, '\n');
    source = std::move(lines += source);
    path = std::move(parts);
  }
  Ref made = new_dict();
  run_unobserved(source, spec.where.file_name(), globals, made.get());
  Ref holder = getitem(made, str(path.front()));
  for (std::size_t index = 1; index < path.size(); ++index) {
    holder = getattr(holder, path[index].c_str());
  }
  return holder;
}

}  // namespace orvane::rt::detail
