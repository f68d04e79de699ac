// The number of face-connected pieces of the non-zero elements of a C-ordered byte
// buffer, as scipy.ndimage.label counts them with its default structure.
#pragma once
#include <memory>
#include <vector>

#include "mask.hpp"
#include "orvane/rt/gil.hpp"

namespace orvane::medical::fast {

// `set`: 0 or 1 per element. The count stops at `enough` (at least 1): it is returned as
// soon as that many pieces are certain, which for a crossing test (one piece or not) is often
// long before the last line. Memory: a few words per run of set elements along the last
// axis (each run begins and ends on the outline of its piece).
std::int64_t count_pieces(const std::uint8_t* set, const Geometry& shape, std::int64_t enough,
                          rt::WithoutGil& gil);

class Pieces;

// count_pieces a part at a time, for a buffer written in C order whose lines need not be
// kept: add_lines(rows, k) takes the next k lines (along the last axis, in C order), n
// bytes each at `rows`, and says whether `enough` pieces are certain; count() is then
// count_pieces' answer for the lines taken, and for the whole buffer once all are. Only the
// runs of earlier lines are kept, so a caller may hand its lines a plane at a time from one
// buffer.
class PieceCounter {
 public:
  PieceCounter(const Geometry& shape, std::int64_t enough);
  ~PieceCounter();
  PieceCounter(const PieceCounter&) = delete;
  PieceCounter& operator=(const PieceCounter&) = delete;

  bool add_lines(const std::uint8_t* rows, std::int64_t count, rt::WithoutGil& gil);
  std::int64_t count() const;

 private:
  const Geometry& shape_;
  std::int64_t n_;
  std::int64_t lines_;
  std::size_t axes_;  // the axes that index the lines
  std::int64_t enough_;
  Index line_step_{};  // lines between neighbours along each of those axes
  // First run of each of the last line_step_[0] + 1 lines (a ring), and one past the last.
  std::int64_t ring_ = 1;
  std::int64_t slot_ = 0;  // the next line's slot: line_ % ring_
  std::vector<std::int64_t> first_run_;
  std::vector<std::int64_t> end_run_;
  std::unique_ptr<Pieces> pieces_;
  std::int64_t complete_ = 0;  // pieces that no later run can join
  std::int64_t line_ = 0;      // the next line to take
  Index index_{};              // its indices
  bool certain_ = false;
};

}  // namespace orvane::medical::fast
