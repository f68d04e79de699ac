// How much C stack the running thread has left. The bounds come from /proc/self/maps (as
// glibc's pthread_getattr_np finds them), read once per thread: no symbol of a recent
// glibc is needed, so the wheel keeps an old manylinux tag whatever glibc builds it.
#include <sys/resource.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "function_object.hpp"

namespace orvane::rt::detail {
namespace {

// The lowest address and size of a thread's stack (stacks grow down on the platforms we
// build for); size 0 when unknown.
struct StackBounds {
  std::uintptr_t low = 0;
  std::size_t size = 0;
};

// "low-high ..." in hexadecimal, as a line of /proc/self/maps starts. std::from_chars, not
// sscanf: glibc 2.38 and later redirect sscanf to a symbol that older systems lack.
bool parse_range(const char* line, std::uintptr_t& low, std::uintptr_t& high) noexcept {
  const char* end = line + std::strlen(line);
  auto [dash, low_error] = std::from_chars(line, end, low, 16);
  if (low_error != std::errc{} || dash == end || *dash != '-') return false;
  return std::from_chars(dash + 1, end, high, 16).ec == std::errc{};
}

// The mapping that holds `address`. A thread's stack is its own mapping; the main
// thread's ("[stack]") grows on demand down to RLIMIT_STACK below its top.
StackBounds find_stack_bounds(std::uintptr_t address) noexcept {
  StackBounds bounds;
  std::FILE* maps = std::fopen("/proc/self/maps", "r");
  if (maps == nullptr) return bounds;
  char line[256];
  bool at_line_start = true;
  while (std::fgets(line, sizeof line, maps) != nullptr) {
    const bool starts_line = at_line_start;
    at_line_start = std::strchr(line, '\n') != nullptr;  // a long line comes in pieces
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
    if (!starts_line || !parse_range(line, low, high)) continue;
    if (address < low || address >= high) continue;
    bounds.low = low;
    bounds.size = high - low;
    rlimit limit{};
    if (std::strstr(line, "[stack]") != nullptr && getrlimit(RLIMIT_STACK, &limit) == 0 &&
        limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur > bounds.size && limit.rlim_cur < high) {
      bounds.low = high - limit.rlim_cur;
      bounds.size = limit.rlim_cur;
    }
    break;
  }
  std::fclose(maps);
  return bounds;
}

}  // namespace

// What runs before the next native call (numpy, scipy, the interpreter, error handling)
// must still fit: the reserve is an eighth of the stack, within 128 KiB to 1 MiB.
[[gnu::noinline]] bool stack_nearly_exhausted() noexcept {
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  // Each thread finds and reads only its own.
  thread_local const StackBounds bounds = find_stack_bounds(here);
  if (bounds.size == 0) return false;
  const std::size_t reserve =
      std::clamp<std::size_t>(bounds.size / 8, std::size_t{128} << 10, std::size_t{1} << 20);
  return here < bounds.low + reserve;
}

}  // namespace orvane::rt::detail
