// The widest vector instructions that both the processor and the system offer, found when
// the module is imported (asking the processor costs microseconds under a hypervisor) and
// kept in the module's state, so that the byte kernels run at the width numpy's own loops
// use. ORVANE_ISA ("baseline" or "avx2") caps the choice, as NPY_DISABLE_CPU_FEATURES does
// for numpy: with it the test suite checks every variant on one machine. Other processors
// than x86-64 get the baseline build (their compiler's own vector width).
#pragma once
#include "orvane/rt/runtime.hpp"

namespace orvane::medical::fast {

enum class Isa { Baseline, Avx2, Avx512 };

// Records the choice in the module's state (at import).
void remember_isa(rt::ModuleBuilder& m);

// The choice recorded at import, for one operation: its kernels are picked once, before
// its loops.
Isa isa_of(const rt::Call& call);

// Compiles a kernel's body once per instruction set: the body is inlined into a function
// of each target, whose vector loops the compiler then builds at that width. (The one
// place where the processor architecture and the compiler decide what is compiled.) GCC
// takes the preferred width in the target string; clang refuses it there (and would then
// drop the whole attribute), and is told by min_vector_width instead.
#if defined(__x86_64__)
#define ORVANE_TARGET_AVX2 [[gnu::target("avx2")]]
#if defined(__clang__)
#define ORVANE_TARGET_AVX512 \
  [[gnu::target("avx512f,avx512bw,avx512vl,avx2"), clang::min_vector_width(512)]]
#else
#define ORVANE_TARGET_AVX512 \
  [[gnu::target("avx512f,avx512bw,avx512vl,avx2,prefer-vector-width=512")]]
#endif
#else
#define ORVANE_TARGET_AVX2
#define ORVANE_TARGET_AVX512
#endif

}  // namespace orvane::medical::fast
