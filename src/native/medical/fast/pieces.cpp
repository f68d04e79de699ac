// Runs of set elements along the last axis, joined by a union-find whenever two runs in
// lines that are face neighbours (one index apart along one other axis) overlap. Lines
// are taken in C order, so each line meets only lines already seen; the pieces are the
// runs less the joins.
#include "pieces.hpp"

#include <algorithm>
#include <memory>
#include <vector>

namespace orvane::medical::fast {

// A run of set elements along a line: [begin, end).
struct Run {
  std::int64_t begin;
  std::int64_t end;
};

// The runs seen so far, and the pieces they make.
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

namespace {

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

PieceCounter::PieceCounter(const Geometry& shape, std::int64_t enough)
    : shape_(shape),
      n_(shape.last()),
      lines_(shape.lines()),
      axes_(shape.ndim - 1),
      enough_(enough),
      pieces_(std::make_unique<Pieces>()) {
  std::int64_t step = 1;
  for (std::size_t k = axes_; k-- > 0;) {
    line_step_[k] = step;
    step *= shape.shape[k];
  }
  ring_ = axes_ > 0 ? line_step_[0] + 1 : 1;
  first_run_.resize(static_cast<std::size_t>(ring_) + 1);
  end_run_.resize(static_cast<std::size_t>(ring_) + 1);
}

PieceCounter::~PieceCounter() = default;

bool PieceCounter::add_lines(const std::uint8_t* rows, std::int64_t count, rt::WithoutGil& gil) {
  Pieces& pieces = *pieces_;
  const std::int64_t up_to = std::min(line_ + count, lines_);
  for (const std::int64_t from = line_; line_ < up_to && !certain_; ++line_) {
    const std::int64_t line = line_;
    const std::uint8_t* row = rows + (line - from) * n_;
    const std::int64_t first = pieces.size();
    for (std::int64_t i = next_set(row, 0, n_); i < n_; i = next_set(row, i, n_)) {
      const std::int64_t end = next_clear(row, i, n_);
      pieces.add(Run{i, end}, line);
      i = end;
    }
    const std::int64_t last = pieces.size();
    const auto slot = static_cast<std::size_t>(line % ring_);
    first_run_[slot] = first;
    end_run_[slot] = last;
    for (std::size_t k = 0; k < axes_ && first < last; ++k) {
      if (index_[k] == 0) continue;
      const auto other = static_cast<std::size_t>((line - line_step_[k]) % ring_);
      // Both lists of runs are sorted: walk them together.
      std::int64_t a = first;
      std::int64_t b = first_run_[other];
      while (a < last && b < end_run_[other]) {
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
    gil.progress(n_);
    // The runs of the line line_step[0] back have met every line they touch: a piece with
    // no later run is complete, and no other piece can join it.
    if (axes_ > 0 && line >= line_step_[0]) {
      const auto done = static_cast<std::size_t>((line - line_step_[0]) % ring_);
      for (std::int64_t r = first_run_[done]; r < end_run_[done]; ++r) {
        if (pieces.ends_at(r, line - line_step_[0])) ++complete_;
      }
      // The pieces so far that are not complete become one at least.
      const std::int64_t open = pieces.count() - complete_;
      certain_ = complete_ + (open > 0 ? 1 : 0) >= enough_;
    }
    for (std::size_t k = axes_; k-- > 0;) {
      if (++index_[k] < shape_.shape[k]) break;
      index_[k] = 0;
    }
  }
  return certain_;
}

std::int64_t PieceCounter::count() const {
  return certain_ ? enough_ : std::min(pieces_->count(), enough_);
}

std::int64_t count_pieces(const std::uint8_t* set, const Geometry& shape, std::int64_t enough,
                          rt::WithoutGil& gil) {
  PieceCounter counter(shape, enough);
  counter.add_lines(set, shape.lines(), gil);
  return counter.count();
}

}  // namespace orvane::medical::fast
