#include "names.hpp"

namespace orvane::rt::detail {

PyObject* NameCache::get(std::string_view text) {
  if (auto found = names_.find(text); found != names_.end()) return found->second.get();
  PyObject* name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (name == nullptr) throw_error_set();
  PyUnicode_InternInPlace(&name);
  Ref interned = Ref::steal(name);
  return names_.emplace(std::string(text), std::move(interned)).first->second.get();
}

const CompiledPath& NameCache::path(const char* path, PyObject* import_bindings) {
  auto found = paths_.find(path);
  if (found != paths_.end() && found->second.text == path) return found->second;
  CompiledPath compiled;
  // Made, then moved in: assigning a C string to a std::string calls a libstdc++ symbol
  // that GCC 13 added, which would raise the wheel's manylinux tag.
  compiled.text = std::string(path);
  const std::string_view whole(compiled.text);
  std::size_t dot = whole.find('.');
  compiled.head = get(whole.substr(0, dot));
  for (;;) {
    PyObject* original = nullptr;
    if (PyDict_GetItemRef(import_bindings, get(whole.substr(0, dot)), &original) < 0) {
      throw_error_set();
    }
    if (original == nullptr) {
      compiled.originals.clear();
      break;
    }
    compiled.originals.push_back(Ref::steal(original));
    if (dot == std::string_view::npos) break;
    const std::size_t start = dot + 1;
    dot = whole.find('.', start);
    compiled.attributes.push_back(get(whole.substr(start, dot - start)));
  }
  return paths_.insert_or_assign(path, std::move(compiled)).first->second;
}

}  // namespace orvane::rt::detail
