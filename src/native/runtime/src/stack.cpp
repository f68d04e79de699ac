// How much C stack the running thread has left. The bounds come from /proc/self/maps (as
// glibc's pthread_getattr_np finds them), read once per thread: no symbol of a recent
// glibc is needed, so the wheel keeps an old manylinux tag.
#include <sys/resource.h>

#include <algorithm>
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
    unsigned long low = 0;
    unsigned long high = 0;
    if (!starts_line || std::sscanf(line, "%lx-%lx", &low, &high) != 2) continue;
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
