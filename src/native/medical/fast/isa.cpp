#include "isa.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace orvane::medical::fast {
namespace {

#if defined(__x86_64__)
// The register state the system saves on a context switch (XCR0).
std::uint64_t saved_state() noexcept {
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (std::uint64_t{high} << 32) | low;
}

Isa detect() noexcept {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return Isa::Baseline;
  const bool xsave = (c & bit_OSXSAVE) != 0 && (c & bit_AVX) != 0;
  if (!xsave || __get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return Isa::Baseline;
  const std::uint64_t state = saved_state();
  constexpr std::uint64_t kYmm = 0x6;   // SSE and AVX registers
  constexpr std::uint64_t kZmm = 0xe6;  // and the AVX-512 mask and upper registers
  const bool avx2 = (state & kYmm) == kYmm && (b & bit_AVX2) != 0;
  if (!avx2) return Isa::Baseline;
  const bool avx512 = (state & kZmm) == kZmm && (b & bit_AVX512F) != 0 && (b & bit_AVX512BW) != 0 &&
                      (b & bit_AVX512VL) != 0;
  return avx512 ? Isa::Avx512 : Isa::Avx2;
}
#else
Isa detect() noexcept {
  return Isa::Baseline;
}
#endif

Isa capped(Isa found) noexcept {
  const char* cap = std::getenv("ORVANE_ISA");
  if (cap == nullptr) return found;
  Isa limit = found;
  if (std::strcmp(cap, "baseline") == 0) limit = Isa::Baseline;
  if (std::strcmp(cap, "avx2") == 0) limit = Isa::Avx2;
  return static_cast<int>(limit) < static_cast<int>(found) ? limit : found;
}

constexpr const char* kKey = "~vector instructions";

}  // namespace

void remember_isa(rt::ModuleBuilder& m) {
  m.remember(kKey, rt::integer(static_cast<int>(capped(detect()))));
}

Isa isa_of(const rt::Call& call) {
  const long value = PyLong_AsLong(call.imported(kKey).get());
  return value == static_cast<long>(Isa::Avx512) ? Isa::Avx512
         : value == static_cast<long>(Isa::Avx2) ? Isa::Avx2
                                                 : Isa::Baseline;
}

}  // namespace orvane::medical::fast
