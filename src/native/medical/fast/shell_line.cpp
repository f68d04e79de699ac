#include "shell_line.hpp"

#include <algorithm>
#include <type_traits>
#include <utility>

#include "isa.hpp"

namespace orvane::medical::fast {
namespace {

// The stencils over a line and its K side lines: each element folds its neighbours along
// the line, then those of the side lines, then finishes with its own value.
// Shell: the smallest of the neighbours is zero exactly when one of them is, a test of
// every byte's truth whatever non-zero values a boolean buffer holds.
struct ShellStencil {
  static std::uint8_t start(std::uint8_t before, std::uint8_t, std::uint8_t after) {
    return std::min(before, after);
  }
  static std::uint8_t fold(std::uint8_t value, std::uint8_t side) { return std::min(value, side); }
  static std::uint8_t finish(std::uint8_t here, std::uint8_t least) {
    return static_cast<std::uint8_t>((here != 0) & (least == 0));
  }
};

// The shell of 8-bit labels (shell_line_kernel): also every value above 1 as an unsigned
// byte.
struct LabelShellStencil : ShellStencil {
  static std::uint8_t finish(std::uint8_t here, std::uint8_t least) {
    return static_cast<std::uint8_t>(((here != 0) & (least == 0)) | (here > 1));
  }
};

// Dilation: the largest of the element and its neighbours.
struct DilateStencil {
  static std::uint8_t start(std::uint8_t before, std::uint8_t here, std::uint8_t after) {
    return std::max(std::max(before, here), after);
  }
  static std::uint8_t fold(std::uint8_t value, std::uint8_t side) { return std::max(value, side); }
  static std::uint8_t finish(std::uint8_t, std::uint8_t most) { return most; }
};

// A vector loop once inlined into a function of a target width.
template <class Stencil, std::size_t K>
[[gnu::always_inline]] inline void stencil_body(std::uint8_t* __restrict to,
                                                const std::uint8_t* __restrict row,
                                                const Sides& sides, std::int64_t i0,
                                                std::int64_t i1) {
  std::array<const std::uint8_t* __restrict, K> side{};
  for (std::size_t k = 0; k < K; ++k) side[k] = sides[k];
  for (std::int64_t i = i0; i < i1; ++i) {
    std::uint8_t value = Stencil::start(row[i - 1], row[i], row[i + 1]);
    for (std::size_t k = 0; k < K; ++k) value = Stencil::fold(value, side[k][i]);
    to[i] = Stencil::finish(row[i], value);
  }
}

// Dilation of a 0/1 buffer with runs of set elements skipped: where 64 elements of the
// line are all 1, so is their dilation, and their side lines need not be read (most of a
// dense mask's box, a body mask's, is such runs).
template <std::size_t K>
[[gnu::always_inline]] inline void dilate_body(std::uint8_t* __restrict to,
                                               const std::uint8_t* __restrict row,
                                               const Sides& sides, std::int64_t i0,
                                               std::int64_t i1) {
  constexpr std::int64_t kRun = 64;
  std::int64_t i = i0;
  for (; i + kRun <= i1; i += kRun) {
    std::uint8_t all = 1;
    for (std::int64_t j = 0; j < kRun; ++j) all &= row[i + j];
    if (all != 0) {
      for (std::int64_t j = 0; j < kRun; ++j) to[i + j] = 1;
    } else {
      stencil_body<DilateStencil, K>(to, row, sides, i, i + kRun);
    }
  }
  stencil_body<DilateStencil, K>(to, row, sides, i, i1);
}

// The loop for a stencil: dilation's with its runs of set elements skipped.
template <class Stencil, std::size_t K>
[[gnu::always_inline]] inline void stencil_loop(std::uint8_t* to, const std::uint8_t* row,
                                                const Sides& sides, std::int64_t i0,
                                                std::int64_t i1) {
  if constexpr (std::is_same_v<Stencil, DilateStencil>) {
    dilate_body<K>(to, row, sides, i0, i1);
  } else {
    stencil_body<Stencil, K>(to, row, sides, i0, i1);
  }
}

template <class Stencil, std::size_t K>
void stencil_baseline(std::uint8_t* to, const std::uint8_t* row, const Sides& sides,
                      std::int64_t i0, std::int64_t i1) {
  stencil_loop<Stencil, K>(to, row, sides, i0, i1);
}

template <class Stencil, std::size_t K>
ORVANE_TARGET_AVX2 void stencil_avx2(std::uint8_t* to, const std::uint8_t* row, const Sides& sides,
                                     std::int64_t i0, std::int64_t i1) {
  stencil_loop<Stencil, K>(to, row, sides, i0, i1);
}

template <class Stencil, std::size_t K>
ORVANE_TARGET_AVX512 void stencil_avx512(std::uint8_t* to, const std::uint8_t* row,
                                         const Sides& sides, std::int64_t i0, std::int64_t i1) {
  stencil_loop<Stencil, K>(to, row, sides, i0, i1);
}

// An OR over each line, which the compiler makes vector code (it has no early exit).
[[gnu::always_inline]] inline void flags_body(const std::uint8_t* __restrict p, std::int64_t n,
                                              std::int64_t lines, std::uint8_t* __restrict flags) {
  for (std::int64_t l = 0; l < lines; ++l) {
    std::uint8_t any = 0;
    for (std::int64_t i = 0; i < n; ++i) any |= p[l * n + i];
    flags[l] = any != 0;
  }
}

void flags_baseline(const std::uint8_t* p, std::int64_t n, std::int64_t lines,
                    std::uint8_t* flags) {
  flags_body(p, n, lines, flags);
}

ORVANE_TARGET_AVX2 void flags_avx2(const std::uint8_t* p, std::int64_t n, std::int64_t lines,
                                   std::uint8_t* flags) {
  flags_body(p, n, lines, flags);
}

ORVANE_TARGET_AVX512 void flags_avx512(const std::uint8_t* p, std::int64_t n, std::int64_t lines,
                                       std::uint8_t* flags) {
  flags_body(p, n, lines, flags);
}

// An element-wise OR and an OR over all, in one vector loop (no early exit).
[[gnu::always_inline]] inline bool or_into_body(std::uint8_t* __restrict acc,
                                                const std::uint8_t* __restrict p, std::int64_t n) {
  std::uint8_t any = 0;
  for (std::int64_t i = 0; i < n; ++i) {
    acc[i] |= p[i];
    any |= p[i];
  }
  return any != 0;
}

bool or_into_baseline(std::uint8_t* acc, const std::uint8_t* p, std::int64_t n) {
  return or_into_body(acc, p, n);
}

ORVANE_TARGET_AVX2 bool or_into_avx2(std::uint8_t* acc, const std::uint8_t* p, std::int64_t n) {
  return or_into_body(acc, p, n);
}

ORVANE_TARGET_AVX512 bool or_into_avx512(std::uint8_t* acc, const std::uint8_t* p, std::int64_t n) {
  return or_into_body(acc, p, n);
}

// A census of two byte masks in one vector loop: 32-bit sums (n is at most 2**16, so the
// sum of positions stays below 2**32).
template <bool Labels>
[[gnu::always_inline]] inline void census_loop(const std::uint8_t* __restrict x,
                                               const std::uint8_t* __restrict y, std::int64_t n,
                                               std::uint32_t* out) {
  std::uint32_t count = 0;
  std::uint32_t sum = 0;
  std::uint32_t outside = 0;
  for (std::int64_t i = 0; i < n; ++i) {
    const std::uint32_t in = x[i] != 0;
    const std::uint32_t counts = Labels ? y[i] == 1 : y[i] != 0;
    count += in;
    sum += (0U - in) & static_cast<std::uint32_t>(i);
    outside += counts & (in ^ 1U);
  }
  out[0] = count;
  out[1] = sum;
  out[2] = outside;
}

[[gnu::always_inline]] inline void census_body(const std::uint8_t* x, const std::uint8_t* y,
                                               std::int64_t n, bool labels, std::uint32_t* out) {
  if (labels) {
    census_loop<true>(x, y, n, out);
  } else {
    census_loop<false>(x, y, n, out);
  }
}

void census_baseline(const std::uint8_t* x, const std::uint8_t* y, std::int64_t n, bool labels,
                     std::uint32_t* out) {
  census_body(x, y, n, labels, out);
}

ORVANE_TARGET_AVX2 void census_avx2(const std::uint8_t* x, const std::uint8_t* y, std::int64_t n,
                                    bool labels, std::uint32_t* out) {
  census_body(x, y, n, labels, out);
}

ORVANE_TARGET_AVX512 void census_avx512(const std::uint8_t* x, const std::uint8_t* y,
                                        std::int64_t n, bool labels, std::uint32_t* out) {
  census_body(x, y, n, labels, out);
}

// Element-wise byte kernels: Op::at for each element, in a loop the compiler makes vector
// code at each width.
struct Truth {
  static std::uint8_t at(std::uint8_t v) { return v != 0; }
};

struct Twos {
  static std::uint8_t at(std::uint8_t v) { return v == 2; }
};

struct BothSet {
  static std::uint8_t at(std::uint8_t a, std::uint8_t b) {
    return static_cast<std::uint8_t>((a != 0) & (b != 0));
  }
};

struct EitherSet {
  static std::uint8_t at(std::uint8_t a, std::uint8_t b) { return (a | b) != 0; }
};

// All ones where b is clear: no branch.
struct KeptWhereClear {
  static std::uint8_t at(std::uint8_t a, std::uint8_t b) {
    return static_cast<std::uint8_t>(a & -int{b == 0});
  }
};

struct SumIsTwo {
  static std::uint8_t at(std::uint8_t a, std::uint8_t b) {
    return static_cast<std::uint8_t>((static_cast<std::uint8_t>(a + b) == 2) & (a <= 2));
  }
};

struct BoolBand {
  static std::uint8_t at(std::uint8_t reached, std::uint8_t x, std::uint8_t y) {
    return static_cast<std::uint8_t>(reached & (x == 0) & (y != 0));
  }
};

// In bytes: r - x + y is 2 where y - x + r is 2 modulo 256 and 2 + x - r is a byte's
// value (x at most 253 + r), since y is one; four times the elements of int lanes.
struct LabelBand {
  static std::uint8_t at(std::uint8_t r, std::uint8_t x, std::uint8_t y) {
    return static_cast<std::uint8_t>((static_cast<std::uint8_t>(y - x + r) == 2) &
                                     (x <= static_cast<std::uint8_t>(253 + r)));
  }
};

template <class Op>
[[gnu::always_inline]] inline void unary_body(std::uint8_t* __restrict to,
                                              const std::uint8_t* __restrict from, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) to[i] = Op::at(from[i]);
}

template <class Op>
void unary_baseline(std::uint8_t* to, const std::uint8_t* from, std::int64_t n) {
  unary_body<Op>(to, from, n);
}

template <class Op>
ORVANE_TARGET_AVX2 void unary_avx2(std::uint8_t* to, const std::uint8_t* from, std::int64_t n) {
  unary_body<Op>(to, from, n);
}

template <class Op>
ORVANE_TARGET_AVX512 void unary_avx512(std::uint8_t* to, const std::uint8_t* from, std::int64_t n) {
  unary_body<Op>(to, from, n);
}

template <class Op>
[[gnu::always_inline]] inline void binary_body(std::uint8_t* __restrict to,
                                               const std::uint8_t* __restrict a,
                                               const std::uint8_t* __restrict b, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) to[i] = Op::at(a[i], b[i]);
}

template <class Op>
void binary_baseline(std::uint8_t* to, const std::uint8_t* a, const std::uint8_t* b,
                     std::int64_t n) {
  binary_body<Op>(to, a, b, n);
}

template <class Op>
ORVANE_TARGET_AVX2 void binary_avx2(std::uint8_t* to, const std::uint8_t* a, const std::uint8_t* b,
                                    std::int64_t n) {
  binary_body<Op>(to, a, b, n);
}

template <class Op>
ORVANE_TARGET_AVX512 void binary_avx512(std::uint8_t* to, const std::uint8_t* a,
                                        const std::uint8_t* b, std::int64_t n) {
  binary_body<Op>(to, a, b, n);
}

template <class Op>
[[gnu::always_inline]] inline void ternary_body(std::uint8_t* __restrict to,
                                                const std::uint8_t* __restrict a,
                                                const std::uint8_t* __restrict b,
                                                const std::uint8_t* __restrict c, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) to[i] = Op::at(a[i], b[i], c[i]);
}

template <class Op>
void ternary_baseline(std::uint8_t* to, const std::uint8_t* a, const std::uint8_t* b,
                      const std::uint8_t* c, std::int64_t n) {
  ternary_body<Op>(to, a, b, c, n);
}

template <class Op>
ORVANE_TARGET_AVX2 void ternary_avx2(std::uint8_t* to, const std::uint8_t* a, const std::uint8_t* b,
                                     const std::uint8_t* c, std::int64_t n) {
  ternary_body<Op>(to, a, b, c, n);
}

template <class Op>
ORVANE_TARGET_AVX512 void ternary_avx512(std::uint8_t* to, const std::uint8_t* a,
                                         const std::uint8_t* b, const std::uint8_t* c,
                                         std::int64_t n) {
  ternary_body<Op>(to, a, b, c, n);
}

template <class Op>
TruthKernel unary_kernel(Isa isa) {
  static constexpr std::array kKernels{&unary_baseline<Op>, &unary_avx2<Op>, &unary_avx512<Op>};
  return kKernels[static_cast<std::size_t>(isa)];
}

template <class Op>
ByteOpKernel binary_kernel(Isa isa) {
  static constexpr std::array kKernels{&binary_baseline<Op>, &binary_avx2<Op>, &binary_avx512<Op>};
  return kKernels[static_cast<std::size_t>(isa)];
}

template <class Op>
BoolBandKernel ternary_kernel(Isa isa) {
  static constexpr std::array kKernels{&ternary_baseline<Op>, &ternary_avx2<Op>,
                                       &ternary_avx512<Op>};
  return kKernels[static_cast<std::size_t>(isa)];
}

using Table = std::array<ShellLineKernel, kMaxAxes>;

// Per width, the stencil for 0, 2, 4, ... side lines.
template <class Stencil, std::size_t... Ks>
constexpr std::array<Table, 3> tables(std::index_sequence<Ks...>) {
  return {Table{&stencil_baseline<Stencil, 2 * Ks>...}, Table{&stencil_avx2<Stencil, 2 * Ks>...},
          Table{&stencil_avx512<Stencil, 2 * Ks>...}};
}

}  // namespace

DilateKernel dilate_kernel(Isa isa, std::size_t count) {
  static constexpr auto kTables = tables<DilateStencil>(std::make_index_sequence<kMaxAxes>{});
  return kTables[static_cast<std::size_t>(isa)][count / 2];
}

ShellLineKernel shell_line_kernel(Isa isa, std::size_t count, bool labels) {
  static constexpr auto kTables = tables<ShellStencil>(std::make_index_sequence<kMaxAxes>{});
  static constexpr auto kLabelTables =
      tables<LabelShellStencil>(std::make_index_sequence<kMaxAxes>{});
  return (labels ? kLabelTables : kTables)[static_cast<std::size_t>(isa)][count / 2];
}

OrIntoKernel or_into_kernel(Isa isa) {
  static constexpr std::array kKernels{&or_into_baseline, &or_into_avx2, &or_into_avx512};
  return kKernels[static_cast<std::size_t>(isa)];
}

PairCensusKernel pair_census_kernel(Isa isa) {
  static constexpr std::array kKernels{&census_baseline, &census_avx2, &census_avx512};
  return kKernels[static_cast<std::size_t>(isa)];
}

LineFlagsKernel nonzero_lines_kernel(Isa isa) {
  static constexpr std::array kKernels{&flags_baseline, &flags_avx2, &flags_avx512};
  return kKernels[static_cast<std::size_t>(isa)];
}

TruthKernel truth_kernel(Isa isa) {
  return unary_kernel<Truth>(isa);
}

TwosKernel twos_kernel(Isa isa) {
  return unary_kernel<Twos>(isa);
}

BoolBandKernel bool_band_kernel(Isa isa) {
  return ternary_kernel<BoolBand>(isa);
}

LabelBandKernel label_band_kernel(Isa isa) {
  return ternary_kernel<LabelBand>(isa);
}

ByteOpKernel byte_op_kernel(Isa isa, ByteOp op) {
  switch (op) {
    case ByteOp::BothSet:
      return binary_kernel<BothSet>(isa);
    case ByteOp::EitherSet:
      return binary_kernel<EitherSet>(isa);
    case ByteOp::KeptWhereClear:
      return binary_kernel<KeptWhereClear>(isa);
    case ByteOp::SumIsTwo:
      break;
  }
  return binary_kernel<SumIsTwo>(isa);
}

}  // namespace orvane::medical::fast
