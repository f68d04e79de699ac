// "Did you mean ...?" for an unexpected keyword, with the interpreter's own rule
// (a Levenshtein distance with case-insensitive substitutions counted cheaper).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "function_object.hpp"

namespace orvane::rt::detail {
namespace {

constexpr std::size_t kMaxCandidates = 750;
constexpr std::size_t kMaxStringSize = 40;
constexpr std::size_t kMoveCost = 2;
constexpr std::size_t kCaseCost = 1;

std::size_t substitution_cost(char a, char b) {
  if ((a & 31) != (b & 31)) return kMoveCost;
  if (a == b) return 0;
  if ('A' <= a && a <= 'Z') a = static_cast<char>(a + ('a' - 'A'));
  if ('A' <= b && b <= 'Z') b = static_cast<char>(b + ('a' - 'A'));
  return a == b ? kCaseCost : kMoveCost;
}

std::size_t levenshtein(const char* a, std::size_t a_size, const char* b, std::size_t b_size,
                        std::size_t max_cost) {
  while (a_size != 0 && b_size != 0 && a[0] == b[0]) {
    ++a, ++b, --a_size, --b_size;
  }
  while (a_size != 0 && b_size != 0 && a[a_size - 1] == b[b_size - 1]) {
    --a_size, --b_size;
  }
  if (a_size == 0 || b_size == 0) return (a_size + b_size) * kMoveCost;
  if (a_size > kMaxStringSize || b_size > kMaxStringSize) return max_cost + 1;
  if (b_size < a_size) {
    std::swap(a, b);
    std::swap(a_size, b_size);
  }
  if ((b_size - a_size) * kMoveCost > max_cost) return max_cost + 1;

  std::size_t row[kMaxStringSize];
  for (std::size_t i = 0; i < a_size; ++i) row[i] = (i + 1) * kMoveCost;
  std::size_t result = 0;
  for (std::size_t b_index = 0; b_index < b_size; ++b_index) {
    char code = b[b_index];
    std::size_t distance = result = b_index * kMoveCost;
    std::size_t minimum = SIZE_MAX;
    for (std::size_t index = 0; index < a_size; ++index) {
      std::size_t substitute = distance + substitution_cost(code, a[index]);
      distance = row[index];
      std::size_t insert_delete = std::min(result, distance) + kMoveCost;
      result = std::min(insert_delete, substitute);
      row[index] = result;
      minimum = std::min(minimum, result);
    }
    if (minimum > max_cost) return max_cost + 1;
  }
  return result;
}

}  // namespace

Ref suggest_keyword(const FunctionSpec& spec, PyObject* keyword) {
  std::size_t candidates = 0;
  for (const Param& param : spec.params) {
    if (param.kind == ParamKind::PositionalOrKeyword) ++candidates;
  }
  if (candidates == 0 || candidates >= kMaxCandidates) return {};
  Py_ssize_t name_size = 0;
  const char* name = PyUnicode_AsUTF8AndSize(keyword, &name_size);
  if (name == nullptr) {
    PyErr_Clear();
    return {};
  }
  const char* best = nullptr;
  std::size_t best_distance = SIZE_MAX;
  for (const Param& param : spec.params) {
    if (param.kind != ParamKind::PositionalOrKeyword) continue;
    std::size_t item_size = std::strlen(param.name);
    if (item_size == static_cast<std::size_t>(name_size) &&
        std::memcmp(param.name, name, item_size) == 0) {
      continue;
    }
    // No more than a third of the characters involved may need to change.
    std::size_t max_distance =
        (static_cast<std::size_t>(name_size) + item_size + 3) * kMoveCost / 6;
    if (best != nullptr) max_distance = std::min(max_distance, best_distance - 1);
    std::size_t distance =
        levenshtein(name, static_cast<std::size_t>(name_size), param.name, item_size, max_distance);
    if (distance > max_distance) continue;
    if (best == nullptr || distance < best_distance) {
      best = param.name;
      best_distance = distance;
    }
  }
  if (best == nullptr) return {};
  return Ref::steal(PyUnicode_FromString(best));
}

}  // namespace orvane::rt::detail
