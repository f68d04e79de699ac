// Bytes written across: up to 64 planes of bytes, each read in its own order, written so
// that the s-th plane's byte lands s bytes after the first plane's. That turns the
// shell of a mask whose memory order is not C order (a Fortran-ordered volume) into the
// C-ordered result in one pass, reading and writing whole cache lines.
#pragma once
#include <cstdint>

namespace orvane::medical::fast {

// The most planes written across at once: a cache line of the result is then written
// whole, at once.
inline constexpr std::int64_t kAcross = 64;

// Bytes from one plane to the next in a buffer of planes of `plane` bytes: a cache line
// more than a whole number of lines, so that the same byte of every plane falls into
// another cache set (planes of a power-of-two size would all fall into one).
inline std::int64_t plane_pitch(std::int64_t plane) noexcept {
  return (plane + 63) / 64 * 64 + 64;
}

// Byte (a, b) of plane s (s < count <= kAcross; plane s starts at planes + s * pitch and
// holds `rows` x `n` bytes in C order) goes to out[a * row_stride + b * column_stride + s].
// `streaming`: for a result beyond the caches, whose lines are then stored around them;
// `zeroed`: `out` holds zeros already, and blocks of 16 x 16 zero bytes are not stored.
void write_across(const std::uint8_t* planes, std::int64_t pitch, std::int64_t count,
                  std::int64_t rows, std::int64_t n, std::uint8_t* out, std::int64_t row_stride,
                  std::int64_t column_stride, bool streaming, bool zeroed) noexcept;

// The rows x cols bytes at `from` (C order) transposed: from[r * cols + c] goes to
// to[c * to_stride + r].
void transpose_bytes(const std::uint8_t* from, std::int64_t rows, std::int64_t cols,
                     std::uint8_t* to, std::int64_t to_stride) noexcept;

// Results of more bytes than this are beyond the caches.
inline constexpr std::int64_t kCachedBytes = std::int64_t{16} << 20;

}  // namespace orvane::medical::fast
