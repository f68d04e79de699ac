#include "across.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvane::medical::fast {
namespace {

// 16 bytes as one vector of the compiler's (SSE2 on x86-64, NEON on aarch64, scalar code
// where there is none).
using Bytes = std::uint8_t __attribute__((vector_size(16)));

Bytes low_halves(Bytes a, Bytes b) noexcept {
  return __builtin_shufflevector(a, b, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
}

Bytes high_halves(Bytes a, Bytes b) noexcept {
  return __builtin_shufflevector(a, b, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15,
                                 31);
}

// Stores 16 bytes at p. Written far apart from each other, a transpose's lines of the result
// are stored around the caches on x86-64 (where p is aligned): a line fetched only to be
// overwritten whole would cost a read from memory each, which no prefetcher foresees.
void store(std::uint8_t* p, const Bytes& value, bool streaming) noexcept {
#if defined(__SSE2__)
  if (streaming && (reinterpret_cast<std::uintptr_t>(p) & 15) == 0) {
    __m128i bits;
    std::memcpy(&bits, &value, 16);
    _mm_stream_si128(reinterpret_cast<__m128i*>(p), bits);
    return;
  }
#endif
  static_cast<void>(streaming);
  std::memcpy(p, &value, 16);
}

// Row k of `from` interleaved with row k + 8, into rows 2k and 2k + 1 of `to`: a perfect
// shuffle of the rows.
void shuffle(const Bytes (&from)[16], Bytes (&to)[16]) noexcept {
#pragma GCC unroll 8
  for (int k = 0; k < 8; ++k) {
    to[2 * k] = low_halves(from[k], from[k + 8]);
    to[2 * k + 1] = high_halves(from[k], from[k + 8]);
  }
}

// The 16 x 16 bytes in rows[] transposed in place: four perfect shuffles take row i's byte
// j to row j, byte i.
void transpose(Bytes (&rows)[16]) noexcept {
  Bytes once[16];
  Bytes twice[16];
  shuffle(rows, once);
  shuffle(once, twice);
  shuffle(twice, once);
  shuffle(once, rows);
}

// Up to 8 bytes at p as the low bytes of a word (a whole word in one load).
std::uint64_t word_of(const std::uint8_t* p, std::int64_t w) noexcept {
  std::uint64_t word = 0;
  if (w == 8) {
    std::memcpy(&word, p, 8);
    return word;
  }
  for (std::int64_t i = 0; i < w; ++i) word |= std::uint64_t{p[i]} << (8 * i);
  return word;
}

// The first w bytes (w <= 16) at p, the rest zero: built in registers from two words, as
// a vector read back from bytes just stored would wait for them.
Bytes load_first(const std::uint8_t* p, std::int64_t w) noexcept {
  using Words = std::uint64_t __attribute__((vector_size(16)));
  if (w == 16) {
    Bytes v;
    std::memcpy(&v, p, 16);
    return v;
  }
  const std::uint64_t low = word_of(p, std::min<std::int64_t>(w, 8));
  const std::uint64_t high = w > 8 ? word_of(p + 8, w - 8) : 0;
  return std::bit_cast<Bytes>(Words{low, high});
}

}  // namespace

void transpose_bytes(const std::uint8_t* from, std::int64_t rows, std::int64_t cols,
                     std::uint8_t* to, std::int64_t to_stride) noexcept {
  std::int64_t r0 = 0;
  for (; r0 + 16 <= rows; r0 += 16) {
    for (std::int64_t c0 = 0; c0 < cols; c0 += 16) {
      const std::int64_t w = std::min<std::int64_t>(16, cols - c0);
      Bytes block[16];
      for (std::int64_t j = 0; j < 16; ++j) block[j] = load_first(from + (r0 + j) * cols + c0, w);
      transpose(block);
      for (std::int64_t i = 0; i < w; ++i)
        std::memcpy(to + (c0 + i) * to_stride + r0, &block[i], 16);
    }
  }
  for (; r0 < rows; ++r0) {
    for (std::int64_t c = 0; c < cols; ++c) to[c * to_stride + r0] = from[r0 * cols + c];
  }
}

void write_across(const std::uint8_t* planes, std::int64_t pitch, std::int64_t count,
                  std::int64_t rows, std::int64_t n, std::uint8_t* out, std::int64_t row_stride,
                  std::int64_t column_stride, bool streaming, bool zeroed) noexcept {
  const std::int64_t plane = pitch;
  streaming = streaming && count == kAcross;  // whole lines only
  for (std::int64_t a = 0; a < rows; ++a) {
    const std::uint8_t* from = planes + a * n;
    std::uint8_t* to = out + a * row_stride;
    // Blocks of 16 planes x 16 bytes transposed (a last block of fewer planes padded with
    // zeros); the bytes beyond the last 16 of a row one by one.
    const std::int64_t blocks_of_planes = (count + 15) / 16;
    std::int64_t b = 0;
    for (; b + 16 <= n; b += 16) {
      // All of a byte's planes first, then each byte's run written at once: its cache line
      // is then written whole before another store can evict it.
      Bytes blocks[kAcross / 16][16];
      bool set[kAcross / 16];
      for (std::int64_t q = 0; q < blocks_of_planes; ++q) {
        Bytes(&block)[16] = blocks[q];
        const std::int64_t held = std::min<std::int64_t>(16, count - 16 * q);
        Bytes any{};
        for (std::int64_t s = 0; s < 16; ++s) {
          if (s < held) {
            std::memcpy(&block[s], from + (16 * q + s) * plane + b, 16);
          } else {
            block[s] = Bytes{};
          }
          any |= block[s];
        }
        // A shell is thin: most blocks hold no element of it, and all zeros need no transpose.
        std::uint64_t halves[2];
        std::memcpy(halves, &any, 16);
        set[q] = (halves[0] | halves[1]) != 0;
        if (set[q]) transpose(block);
      }
      for (int j = 0; j < 16; ++j) {
        std::uint8_t* run = to + (b + j) * column_stride;
        for (std::int64_t q = 0; q < blocks_of_planes; ++q) {
          if (zeroed && !set[q]) continue;  // zeros where zeros are
          const std::int64_t held = std::min<std::int64_t>(16, count - 16 * q);
          if (held == 16) {
            store(run + 16 * q, blocks[q][j], streaming);
          } else {
            std::memcpy(run + 16 * q, &blocks[q][j], static_cast<std::size_t>(held));
          }
        }
      }
    }
    for (; b < n; ++b) {
      for (std::int64_t s = 0; s < count; ++s) to[b * column_stride + s] = from[s * plane + b];
    }
  }
#if defined(__SSE2__)
  if (streaming) _mm_sfence();  // the streamed stores seen before any later store
#endif
}

}  // namespace orvane::medical::fast
