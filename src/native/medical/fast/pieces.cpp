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

// The runs seen so far, and the pieces they make. Each run is a node of the union-find for
// good; its bounds are only kept while a later line may still meet it.
class Pieces {
 public:
  std::int64_t add(Run run, std::int64_t line) {
    runs_.push_back(run);
    const std::int64_t id = size_++;
    if ((id & kBlockMask) == 0) blocks_.push_back(std::make_unique_for_overwrite<Node[]>(kBlock));
    node(id) = Node{id, line};
    return id;
  }
  const Run& run(std::int64_t id) const noexcept {
    return runs_[static_cast<std::size_t>(id - forgotten_)];
  }
  std::int64_t size() const noexcept { return size_; }
  void join(std::int64_t a, std::int64_t b) {
    a = root(a);
    b = root(b);
    if (a == b) return;
    if (a > b) std::swap(a, b);
    node(b).parent = a;
    node(a).last_line = std::max(node(a).last_line, node(b).last_line);
    ++joins_;
  }
  std::int64_t count() const noexcept { return size() - joins_; }

  // Whether run `id`'s piece has no run after line `line`; then it is marked, and the next
  // call for a run of the same piece gives false.
  bool ends_at(std::int64_t id, std::int64_t line) {
    auto& last = node(root(id)).last_line;
    if (last != line) return false;
    last = kEnded;
    return true;
  }

  // The bounds of the runs before `id` are not asked for again: they are dropped once they
  // are most of those kept.
  void forget_runs_before(std::int64_t id) {
    const std::int64_t drop = id - forgotten_;
    if (drop < kForgetAtLeast || 2 * drop < static_cast<std::int64_t>(runs_.size())) return;
    runs_.erase(runs_.begin(), runs_.begin() + drop);
    forgotten_ = id;
  }

 private:
  static constexpr std::int64_t kEnded = -1;
  static constexpr std::int64_t kForgetAtLeast = 4096;

  struct Node {
    std::int64_t parent;
    std::int64_t last_line;  // at a root: the last line that holds a run of its piece
  };
  // The nodes in blocks that stay where they are: a vector grown to millions of runs copied
  // them at each doubling, into memory faulted in afresh.
  static constexpr int kBlockBits = 14;
  static constexpr std::int64_t kBlock = std::int64_t{1} << kBlockBits;
  static constexpr std::int64_t kBlockMask = kBlock - 1;
  Node& node(std::int64_t id) noexcept {
    return blocks_[static_cast<std::size_t>(id >> kBlockBits)][id & kBlockMask];
  }

  std::int64_t root(std::int64_t a) {
    while (node(a).parent != a) {
      std::int64_t& up = node(a).parent;
      up = node(up).parent;  // path halving
      a = up;
    }
    return a;
  }

  std::vector<Run> runs_;  // of the runs from forgotten_ on
  std::int64_t forgotten_ = 0;
  std::vector<std::unique_ptr<Node[]>> blocks_;
  std::int64_t size_ = 0;
  std::int64_t joins_ = 0;
};

namespace {

// The slot of the ring `ring` that holds the line `step` lines (0 < step < ring) before the
// one in `slot` (at most ring): no division, which every line took several of.
std::int64_t back_in_ring(std::int64_t slot, std::int64_t step, std::int64_t ring) {
  const std::int64_t at = slot - step;
  return at < 0 ? at + ring : at;
}

// The next set byte at or after `i`, or n. A band is mostly clear: 32 bytes at a time.
std::int64_t next_set(const std::uint8_t* line, std::int64_t i, std::int64_t n) {
  for (; i + 32 <= n; i += 32) {
    const char* p = reinterpret_cast<const char*>(line + i);
    if ((load<std::uint64_t>(p) | load<std::uint64_t>(p + 8) | load<std::uint64_t>(p + 16) |
         load<std::uint64_t>(p + 24)) != 0) {
      break;
    }
  }
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
    const std::int64_t here = slot_;
    const auto slot = static_cast<std::size_t>(here);
    first_run_[slot] = first;
    end_run_[slot] = last;
    for (std::size_t k = 0; k < axes_ && first < last; ++k) {
      if (index_[k] == 0) continue;
      const auto other = static_cast<std::size_t>(back_in_ring(here, line_step_[k], ring_));
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
      const auto done = static_cast<std::size_t>(back_in_ring(here, line_step_[0], ring_));
      for (std::int64_t r = first_run_[done]; r < end_run_[done]; ++r) {
        if (pieces.ends_at(r, line - line_step_[0])) ++complete_;
      }
      // The pieces so far that are not complete become one at least.
      const std::int64_t open = pieces.count() - complete_;
      certain_ = complete_ + (open > 0 ? 1 : 0) >= enough_;
      // The next line meets no run before those of the line line_step[0] before it.
      if (line + 1 >= line_step_[0]) {
        const auto oldest = static_cast<std::size_t>(back_in_ring(here + 1, line_step_[0], ring_));
        pieces.forget_runs_before(first_run_[oldest]);
      }
    }
    if (++slot_ == ring_) slot_ = 0;
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
