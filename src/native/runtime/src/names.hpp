// Interned str objects of the names that module code reads (module globals, attributes,
// keys), made once per module instead of at every use: a str made from a C string costs an
// allocation, a decoding and a hash each time. Also the dotted paths that fast paths check
// (Call::bound_at_import), each split into its interned names with the objects recorded at
// import, so that a check costs only the look-ups that a body would make.
#pragma once
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "orvane/rt/ref.hpp"

namespace orvane::rt::detail {

// "np.linalg.norm": the head ("np") and the attributes below it, interned, and what the
// head and each prefix read at import.
struct CompiledPath {
  std::string text;
  PyObject* head = nullptr;
  std::vector<PyObject*> attributes;
  std::vector<Ref> originals;  // one per prefix: "np", "np.linalg", "np.linalg.norm"
};

class NameCache {
 public:
  NameCache() = default;
  NameCache(const NameCache&) = delete;
  NameCache& operator=(const NameCache&) = delete;

  // The interned str of `text` (borrowed: the cache holds it); throws ErrorSet.
  PyObject* get(std::string_view text);
  // The compiled form of `path` (a string literal of module code), made on first use from
  // the import-time objects in `import_bindings`; an empty `originals` when one is missing.
  const CompiledPath& path(const char* path, PyObject* import_bindings);
  void clear() noexcept {
    paths_.clear();
    names_.clear();
  }

 private:
  // Ordered maps: a module has a few dozen names, and a hash table's bucket array would
  // call a libstdc++ symbol of GCC 11 (raising the wheel's manylinux tag).
  std::map<std::string, Ref, std::less<>> names_;
  // Keyed by the literal's address; its text is compared too, so that another string at a
  // reused address is compiled anew.
  std::map<const char*, CompiledPath> paths_;
};

}  // namespace orvane::rt::detail
