// Runs of set elements along the last axis, joined by a union-find whenever two runs in
// lines that are face neighbours (one index apart along one other axis) overlap. Lines
// are taken in C order, so each line meets only lines already seen; the pieces are the
// runs less the joins.
#include "pieces.hpp"

#include <algorithm>
#include <vector>

namespace orvane::medical::fast {
namespace {

struct Run {
  std::int64_t begin;
  std::int64_t end;
};

class Pieces {
 public:
  std::int64_t add(Run run, std::int64_t line) {
    runs_.push_back(run);
    parent_.push_back(static_cast<std::int64_t>(parent_.size()));
    last_line_.push_back(line);
    return static_cast<std::int64_t>(runs_.size()) - 1;
  }
  const Run& run(std::int64_t id) const noexcept { return runs_[static_cast<std::size_t>(id)]; }
  std::int64_t size() const noexcept { return static_cast<std::int64_t>(runs_.size()); }
  void join(std::int64_t a, std::int64_t b) {
    a = root(a);
    b = root(b);
    if (a == b) return;
    if (a > b) std::swap(a, b);
    parent_[static_cast<std::size_t>(b)] = a;
    auto& last = last_line_[static_cast<std::size_t>(a)];
    last = std::max(last, last_line_[static_cast<std::size_t>(b)]);
    ++joins_;
  }
  std::int64_t count() const noexcept { return size() - joins_; }

  // Whether run `id`'s piece has no run after line `line`; then it is marked, and the next
  // call for a run of the same piece gives false.
  bool ends_at(std::int64_t id, std::int64_t line) {
    auto& last = last_line_[static_cast<std::size_t>(root(id))];
    if (last != line) return false;
    last = kEnded;
    return true;
  }

 private:
  static constexpr std::int64_t kEnded = -1;

  std::int64_t root(std::int64_t a) {
    while (parent_[static_cast<std::size_t>(a)] != a) {
      std::int64_t& up = parent_[static_cast<std::size_t>(a)];
      up = parent_[static_cast<std::size_t>(up)];  // path halving
      a = up;
    }
    return a;
  }

  std::vector<Run> runs_;
  std::vector<std::int64_t> parent_;
  std::vector<std::int64_t> last_line_;  // at a root: the last line that holds a run of it
  std::int64_t joins_ = 0;
};

// The next set byte at or after `i`, or n.
std::int64_t next_set(const std::uint8_t* line, std::int64_t i, std::int64_t n) {
  while (i + 8 <= n && load<std::uint64_t>(reinterpret_cast<const char*>(line + i)) == 0) i += 8;
  while (i < n && line[i] == 0) ++i;
  return i;
}

// The next clear byte at or after `i`, or n (set bytes are 1).
std::int64_t next_clear(const std::uint8_t* line, std::int64_t i, std::int64_t n) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  while (i + 8 <= n && load<std::uint64_t>(reinterpret_cast<const char*>(line + i)) == kOnes) {
    i += 8;
  }
  while (i < n && line[i] != 0) ++i;
  return i;
}

}  // namespace

std::int64_t count_pieces(const std::uint8_t* set, const Geometry& shape, std::int64_t enough,
                          rt::WithoutGil& gil) {
  const std::int64_t n = shape.last();
  const std::int64_t lines = shape.lines();
  const std::size_t axes = shape.ndim - 1;  // the axes that index the lines
  // Lines between neighbours along each of those axes.
  Index line_step{};
  std::int64_t step = 1;
  for (std::size_t k = axes; k-- > 0;) {
    line_step[k] = step;
    step *= shape.shape[k];
  }
  // First run of each of the last line_step[0] + 1 lines (a ring), and one past the last.
  const std::int64_t ring = axes > 0 ? line_step[0] + 1 : 1;
  std::vector<std::int64_t> first_run(static_cast<std::size_t>(ring) + 1);
  std::vector<std::int64_t> end_run(static_cast<std::size_t>(ring) + 1);
  Pieces pieces;
  std::int64_t complete = 0;  // pieces that no later run can join
  Index index{};
  for (std::int64_t line = 0; line < lines; ++line) {
    const std::uint8_t* row = set + line * n;
    const std::int64_t first = pieces.size();
    for (std::int64_t i = next_set(row, 0, n); i < n; i = next_set(row, i, n)) {
      const std::int64_t end = next_clear(row, i, n);
      pieces.add(Run{i, end}, line);
      i = end;
    }
    const std::int64_t last = pieces.size();
    const auto slot = static_cast<std::size_t>(line % ring);
    first_run[slot] = first;
    end_run[slot] = last;
    for (std::size_t k = 0; k < axes && first < last; ++k) {
      if (index[k] == 0) continue;
      const auto other = static_cast<std::size_t>((line - line_step[k]) % ring);
      // Both lists of runs are sorted: walk them together.
      std::int64_t a = first;
      std::int64_t b = first_run[other];
      while (a < last && b < end_run[other]) {
        const Run& p = pieces.run(a);
        const Run& q = pieces.run(b);
        if (p.begin < q.end && q.begin < p.end) pieces.join(a, b);
        if (p.end < q.end) {
          ++a;
        } else {
          ++b;
        }
      }
    }
    gil.progress(n);
    // The runs of the line line_step[0] back have met every line they touch: a piece with
    // no later run is complete, and no other piece can join it.
    if (axes > 0 && line >= line_step[0]) {
      const auto done = static_cast<std::size_t>((line - line_step[0]) % ring);
      for (std::int64_t r = first_run[done]; r < end_run[done]; ++r) {
        if (pieces.ends_at(r, line - line_step[0])) ++complete;
      }
      // The pieces so far that are not complete become one at least.
      const std::int64_t open = pieces.count() - complete;
      if (complete + (open > 0 ? 1 : 0) >= enough) return enough;
    }
    for (std::size_t k = axes; k-- > 0;) {
      if (++index[k] < shape.shape[k]) break;
      index[k] = 0;
    }
  }
  return std::min(pieces.count(), enough);
}

}  // namespace orvane::medical::fast
