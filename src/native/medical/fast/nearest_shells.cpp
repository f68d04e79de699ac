// A k-d tree over the shell of y answers, for each shell point of x in order, its nearest
// neighbour. Every pair the search looks at is scored with the plain path's formula, and
// a subtree is skipped only when a lower bound of its distance exceeds the best length
// found by more than a rounding slack, so the computed minimum and its first occurrence
// are exactly the plain path's.
#include "nearest_shells.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <memory>
#include <numeric>
#include <utility>

#include "nearest_by_lines.hpp"
#include "row_major.hpp"
#include "shell_line.hpp"

namespace orvane::medical::fast {
namespace {

constexpr std::size_t kLeafSize = 8;
constexpr double kSlack = 1e-9;

struct Node {
  std::array<double, kMaxAxes> low{};
  std::array<double, kMaxAxes> high{};
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t left = 0;  // children; 0 for a leaf (the root is never a child)
  std::size_t right = 0;
};

class KdTree {
 public:
  KdTree(const std::vector<std::int64_t>& points, const Spacing& spacing, std::size_t ndim,
         rt::WithoutGil& gil)
      : points_(points), spacing_(spacing), ndim_(ndim), order_(points.size() / ndim), gil_(gil) {
    std::iota(order_.begin(), order_.end(), 0);
    scaled_.resize(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
      scaled_[i] = static_cast<double>(points[i]) * spacing.values[i % ndim];
      magnitude_ = std::max(magnitude_, std::abs(scaled_[i]));
    }
    nodes_.reserve(2 * order_.size() / kLeafSize + 2);
    build(0, order_.size());
  }

  // The nearest point to `query` among those not farther than `limit` (plus the slack):
  // updates best and best_index (ties: the smaller index); best stays +inf if none.
  void nearest(const std::int64_t* query, double limit, double& best,
               std::size_t& best_index) const {
    std::array<double, kMaxAxes> scaled{};
    double magnitude = magnitude_;
    for (std::size_t k = 0; k < ndim_; ++k) {
      scaled[k] = static_cast<double>(query[k]) * spacing_.values[k];
      magnitude = std::max(magnitude, std::abs(scaled[k]));
    }
    search(0, query, scaled, magnitude, limit, best, best_index);
  }

 private:
  std::size_t build(std::size_t begin, std::size_t end) {
    gil_.progress(static_cast<std::int64_t>(end - begin));  // Ctrl-C within a second
    const std::size_t index = nodes_.size();
    nodes_.emplace_back();
    Node node;
    node.begin = begin;
    node.end = end;
    node.low.fill(std::numeric_limits<double>::infinity());
    node.high.fill(-std::numeric_limits<double>::infinity());
    for (std::size_t i = begin; i < end; ++i) {
      for (std::size_t k = 0; k < ndim_; ++k) {
        const double value = scaled_[order_[i] * ndim_ + k];
        node.low[k] = std::min(node.low[k], value);
        node.high[k] = std::max(node.high[k], value);
      }
    }
    if (end - begin > kLeafSize) {
      std::size_t axis = 0;
      for (std::size_t k = 1; k < ndim_; ++k) {
        if (node.high[k] - node.low[k] > node.high[axis] - node.low[axis]) axis = k;
      }
      const std::size_t middle = begin + (end - begin) / 2;
      std::nth_element(order_.begin() + static_cast<std::ptrdiff_t>(begin),
                       order_.begin() + static_cast<std::ptrdiff_t>(middle),
                       order_.begin() + static_cast<std::ptrdiff_t>(end),
                       [&](std::size_t a, std::size_t b) {
                         return scaled_[a * ndim_ + axis] < scaled_[b * ndim_ + axis];
                       });
      node.left = build(begin, middle);
      node.right = build(middle, end);
    }
    nodes_[index] = node;
    return index;
  }

  double lower_bound(const Node& node, const std::array<double, kMaxAxes>& scaled) const {
    double sum = 0.0;
    for (std::size_t k = 0; k < ndim_; ++k) {
      const double gap = std::max({0.0, node.low[k] - scaled[k], scaled[k] - node.high[k]});
      sum += gap * gap;
    }
    return std::sqrt(sum);
  }

  // `magnitude` bounds the coordinates involved: the rounding of the bounds scales with it.
  void search(std::size_t index, const std::int64_t* query,
              const std::array<double, kMaxAxes>& scaled, double magnitude, double limit,
              double& best, std::size_t& best_index) const {
    const Node& node = nodes_[index];
    const double bound = std::min(limit, best);
    if (lower_bound(node, scaled) > bound + kSlack * (bound + magnitude)) return;
    if (node.left == 0) {
      for (std::size_t i = node.begin; i < node.end; ++i) {
        const std::size_t point = order_[i];
        const double length = scaled_length(&points_[point * ndim_], query, spacing_, ndim_);
        if (length < best || (length == best && point < best_index)) {
          best = length;
          best_index = point;
        }
      }
      return;
    }
    const bool left_first =
        lower_bound(nodes_[node.left], scaled) <= lower_bound(nodes_[node.right], scaled);
    search(left_first ? node.left : node.right, query, scaled, magnitude, limit, best, best_index);
    search(left_first ? node.right : node.left, query, scaled, magnitude, limit, best, best_index);
  }

  const std::vector<std::int64_t>& points_;
  const Spacing& spacing_;
  std::size_t ndim_;
  std::vector<std::size_t> order_;
  std::vector<double> scaled_;
  std::vector<Node> nodes_;
  double magnitude_ = 0.0;
  rt::WithoutGil& gil_;
};

}  // namespace

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;

bool has_zero_byte(std::uint64_t word) {
  return ((word - kOnes) & ~word & 0x8080808080808080ULL) != 0;
}

// One line of the mask and its face neighbours: the lines one index before and after
// along each other axis (null where that is outside the array: then no element of the
// line survives the erosion).
template <class E>
class ShellLine {
 public:
  ShellLine(const char* p, std::int64_t step, std::int64_t n, const char* const* neighbours,
            std::size_t count)
      : p_(p), step_(step), n_(n), neighbours_(neighbours), count_(count) {}

  // Survives one erosion: set, not at either end, and every face neighbour set.
  bool survives(std::int64_t i) const noexcept {
    if (i == 0 || i + 1 == n_ || !E::nonzero(p_ + (i - 1) * step_) ||
        !E::nonzero(p_ + (i + 1) * step_)) {
      return false;
    }
    for (std::size_t k = 0; k < count_; ++k) {
      if (neighbours_[k] == nullptr || !E::nonzero(neighbours_[k] + i * step_)) return false;
    }
    return true;
  }
  // Eight elements from i on (1-byte types, contiguous) that are all set with value 1 and
  // all survive: none of them is on the shell.
  bool word_inside(std::int64_t i, std::uint64_t word) const noexcept {
    const bool ones = E::kKind == ElementKind::Bool ? !has_zero_byte(word) : word == kOnes;
    if (!ones || i == 0 || i + 8 >= n_ || p_[i - 1] == 0 || p_[i + 8] == 0) return false;
    for (std::size_t k = 0; k < count_; ++k) {
      if (neighbours_[k] == nullptr || has_zero_byte(load<std::uint64_t>(neighbours_[k] + i))) {
        return false;
      }
    }
    return true;
  }

 private:
  const char* p_;
  std::int64_t step_;
  std::int64_t n_;
  const char* const* neighbours_;
  std::size_t count_;
};

}  // namespace

namespace {

template <class E>
void collect_shell(const MaskData& mask, std::vector<std::int64_t>& out, rt::WithoutGil& gil) {
  const Geometry& shape = mask.geometry;
  const std::size_t last = shape.ndim - 1;
  const std::int64_t n = shape.last();
  const std::int64_t step = shape.strides[last];
  const std::array<const Index*, 1> strides{&shape.strides};
  LineWalker<1> lines(shape, strides);
  std::array<const char*, 2 * kMaxAxes> neighbours{};
  const bool words = E::kSize == 1 && step == 1;
  do {
    const Index& index = lines.index();
    const char* p = mask.data + lines.offset(0);
    for (std::size_t k = 0; k < last; ++k) {
      const bool inside = index[k] > 0 && index[k] + 1 < shape.shape[k];
      neighbours[2 * k] = inside ? p - shape.strides[k] : nullptr;
      neighbours[2 * k + 1] = inside ? p + shape.strides[k] : nullptr;
    }
    const ShellLine<E> line(p, step, n, neighbours.data(), 2 * last);
    std::int64_t checked = 0;
    for (std::int64_t i = 0; i < n;) {
      if (i - checked >= 0x10000) {  // one long line, too
        gil.progress(i - checked);
        checked = i;
      }
      if (words && i + 8 <= n) {
        const std::uint64_t word = load<std::uint64_t>(p + i);
        if (word == 0 || line.word_inside(i, word)) {
          i += 8;
          continue;
        }
      }
      const char* element = p + i * step;
      // x.astype(int) - eroded.astype(int) is non-zero.
      if (E::nonzero(element) && E::value(element) != (line.survives(i) ? 1 : 0)) {
        out.insert(out.end(), index.begin(), index.begin() + static_cast<std::ptrdiff_t>(last));
        out.push_back(i);
      }
      ++i;
    }
    gil.progress(n - checked + 1);
  } while (lines.next());
}

// Whether the 32 bytes at p are all 0 (or, with q, all of p & q): four words at once, so
// that the long empty stretches of a shell are crossed at a few instructions a block.
inline bool zero_block(const std::uint8_t* p) noexcept {
  const auto* c = reinterpret_cast<const char*>(p);
  return (load<std::uint64_t>(c) | load<std::uint64_t>(c + 8) | load<std::uint64_t>(c + 16) |
          load<std::uint64_t>(c + 24)) == 0;
}
inline bool zero_block(const char* p, const char* q) noexcept {
  std::uint64_t any = 0;
  for (int k = 0; k < 32; k += 8) any |= load<std::uint64_t>(p + k) & load<std::uint64_t>(q + k);
  return any == 0;
}

// The same for one-byte masks (boolean or 8-bit labels) with C-contiguous planes
// (shell_by_planes_applies): each band of a plane's lines has its shell made in a buffer by
// the vector kernel, skipping the empty lines, and its set elements are listed into `out`.
// A lister given a partner (the other mask's, same shape, a band ahead in turn) looks first
// for an element that both shells of the band hold, and stops listing at the first it finds.
class ShellLister {
  // A band's shell stays in the processor's caches and costs few page faults: the C
  // library gives a buffer of a whole large slice back to the system when it is freed, so
  // each call faulted it in again, which took longer than making the shell.
  static constexpr std::int64_t kBandBytes = std::int64_t{1} << 17;

 public:
  ShellLister(const MaskData& mask, std::vector<std::int64_t>& out)
      : ndim_(mask.geometry.ndim),
        n_(mask.geometry.last()),
        band_lines_(std::max<std::int64_t>(1, kBandBytes / std::max<std::int64_t>(n_, 1))),
        out_(out) {}

  void compare_with(const ShellLister& partner) { partner_ = &partner; }
  const std::optional<Index>& shared() const { return shared_; }

  // The partner of a lister that compares with this one: its band's points are listed
  // only by flush(), once the other has compared its band with this one's, so that an
  // element on both shells spares their listing.
  void defer_listing() { defer_ = true; }
  void flush() {
    for (const auto& [first, last] : pending_) list_points(buffer_.get(), first, last);
    pending_.clear();
  }

  // The steps over the mask's planes that list its shell.
  auto planes(const MaskData& mask, Isa isa, rt::WithoutGil& gil) {
    const std::int64_t lines = std::min(band_lines_, plane_size(mask.geometry) / n_);
    const std::int64_t size = lines * n_;
    // Only the lines that written_ marks are read, and words past a line's end are masked
    // off, so the buffer is not zeroed where its lines end on a word: then only the 8
    // bytes after the last line are read beyond what was written.
    const auto bytes = static_cast<std::size_t>(size) + 8;
    buffer_.reset(n_ % 8 == 0 ? new std::uint8_t[bytes] : new std::uint8_t[bytes]());
    std::fill_n(buffer_.get() + size, 8, std::uint8_t{0});
    written_.assign(static_cast<std::size_t>(lines), 0);
    auto target = [this](std::int64_t) {
      std::fill(written_.begin(), written_.end(), std::uint8_t{0});
      return buffer_.get();
    };
    auto done = [this](const Index& index, std::int64_t origin, const std::uint8_t* shell,
                       std::int64_t first,
                       std::int64_t last) { list(index, origin, shell, first, last); };
    return std::make_unique<PlaneShells<decltype(target), decltype(done)>>(
        mask, isa, EmptyLines::Skipped, target, done, gil, band_lines_);
  }

 private:
  void list(const Index& index, std::int64_t origin, const std::uint8_t* shell, std::int64_t first,
            std::int64_t last) {
    if (shared_) return;
    origin_ = origin;
    std::fill(written_.begin() + (first - origin), written_.begin() + (last - origin),
              std::uint8_t{1});
    std::copy_n(index.begin(), ndim_, point_.begin());
    if (defer_) {
      pending_.emplace_back(first, last);
      return;
    }
    if (partner_ != nullptr && find_shared(shell, first, last)) return;
    list_points(shell, first, last);
  }

  // The points of the band's lines [first, last) of the plane's shell (point_ holds the
  // plane's other indices, origin_ the band's first line).
  void list_points(const std::uint8_t* shell, std::int64_t first, std::int64_t last) {
    // The shell's bytes are 0 or 1: a word's set bits are its elements on the shell.
    const std::int64_t begin = (first - origin_) * n_;
    const std::int64_t end = (last - origin_) * n_;
    for (std::int64_t j = begin; j < end; j += 8) {
      if (((j - begin) & 31) == 0 && j + 32 <= end && zero_block(shell + j)) {  // sparse
        j += 24;
        continue;
      }
      std::uint64_t word = load<std::uint64_t>(reinterpret_cast<const char*>(shell + j));
      if (j + 8 > end) word &= ~std::uint64_t{0} >> (8 * (j + 8 - end));
      for (; word != 0; word &= word - 1) {
        const std::int64_t at = j + std::countr_zero(word) / 8;
        if (ndim_ > 1) point_[ndim_ - 2] = origin_ + at / n_;
        point_[ndim_ - 1] = at % n_;
        out_.insert(out_.end(), point_.begin(),
                    point_.begin() + static_cast<std::ptrdiff_t>(ndim_));
      }
    }
  }

  // An element of the band's lines [first, last) on both this band's shell and the
  // partner's (the same band of the same plane): into shared_.
  bool find_shared(const std::uint8_t* shell, std::int64_t first, std::int64_t last) {
    for (std::int64_t line = first; line < last; ++line) {
      const std::int64_t row = line - origin_;
      if (partner_->written_[static_cast<std::size_t>(row)] == 0) continue;
      const char* other = reinterpret_cast<const char*>(partner_->buffer_.get() + row * n_);
      const char* mine = reinterpret_cast<const char*>(shell + row * n_);
      for (std::int64_t i = 0; i < n_; i += 8) {
        if ((i & 31) == 0 && i + 32 <= n_ && zero_block(mine + i, other + i)) {
          i += 24;
          continue;
        }
        std::uint64_t both = load<std::uint64_t>(mine + i) & load<std::uint64_t>(other + i);
        if (i + 8 > n_) both &= ~std::uint64_t{0} >> (8 * (i + 8 - n_));  // the next line's
        if (both == 0) continue;
        Index at = point_;
        if (ndim_ > 1) at[ndim_ - 2] = line;
        at[ndim_ - 1] = i + std::countr_zero(both) / 8;
        shared_ = at;
        return true;
      }
    }
    return false;
  }

  std::size_t ndim_;
  std::int64_t n_;
  std::int64_t band_lines_;
  std::unique_ptr<std::uint8_t[]> buffer_;  // a band's shell, where written_ says
  std::vector<std::uint8_t> written_;       // per line of the band: the buffer holds its shell
  std::vector<std::int64_t>& out_;
  Index point_{};
  std::int64_t origin_ = 0;  // the band's first line in its plane
  const ShellLister* partner_ = nullptr;
  std::optional<Index> shared_;
  bool defer_ = false;
  std::vector<std::pair<std::int64_t, std::int64_t>> pending_;  // runs of lines, not listed
};

void collect_shell_by_lines(const MaskData& mask, std::vector<std::int64_t>& out,
                            rt::WithoutGil& gil) {
  visit_element(mask.type, [&]<class E>(E) {
    // Floats: astype(int) truncates; the fast path leaves them to the plain steps.
    if constexpr (E::kKind != ElementKind::Float) collect_shell<E>(mask, out, gil);
  });
}

// The shell points of both masks, each in the order of its own indices (row-major); or,
// with `stop_at_shared`, where both are listed by planes of one shape, an element on both
// shells as soon as one is met (then the lists are incomplete).
ShellPoints shell_points_as_laid(const MaskData& x, const MaskData& y, bool stop_at_shared, Isa isa,
                                 rt::WithoutGil& gil) {
  ShellPoints points;
  const bool x_planes = shell_by_planes_applies(x);
  const bool y_planes = shell_by_planes_applies(y);
  if (!x_planes) collect_shell_by_lines(x, points.x, gil);
  if (!y_planes) collect_shell_by_lines(y, points.y, gil);
  if (!x_planes && !y_planes) return points;
  ShellLister x_list(x, points.x);
  ShellLister y_list(y, points.y);
  const std::size_t ndim = x.geometry.ndim;
  if (stop_at_shared && x_planes && y_planes && y.geometry.ndim == ndim &&
      std::equal(x.geometry.shape.begin(),
                 x.geometry.shape.begin() + static_cast<std::ptrdiff_t>(ndim),
                 y.geometry.shape.begin())) {
    y_list.compare_with(x_list);
    x_list.defer_listing();
  }
  auto x_steps = x_planes ? x_list.planes(x, isa, gil) : nullptr;
  auto y_steps = y_planes ? y_list.planes(y, isa, gil) : nullptr;
  // A plane of each in turn: two streams from memory at once.
  bool x_left = x_planes;
  bool y_left = y_planes;
  while ((x_left || y_left) && !y_list.shared()) {
    if (x_left) x_left = x_steps->step();
    if (y_left) y_left = y_steps->step();
    if (!y_list.shared()) x_list.flush();
  }
  points.shared = y_list.shared();
  return points;
}

}  // namespace

ShellPoints shell_points(const MaskData& x, const MaskData& y, bool stop_at_shared, Isa isa,
                         rt::WithoutGil& gil) {
  // A shell is the same whatever the order of the axes: it is found in x's memory order (a
  // Fortran-ordered mask's planes are those of its first two axes), then its points are
  // put back into row-major order.
  const AxisOrder order = memory_order(x.geometry);
  if (std::is_sorted(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(x.geometry.ndim))) {
    return shell_points_as_laid(x, y, stop_at_shared, isa, gil);
  }
  ShellPoints points =
      shell_points_as_laid(reordered(x, order), reordered(y, order), stop_at_shared, isa, gil);
  if (points.shared) {
    Index at{};
    for (std::size_t k = 0; k < x.geometry.ndim; ++k) at[order[k]] = (*points.shared)[k];
    points.shared = at;
    return points;
  }
  into_row_major(points.x, order, x.geometry, gil);
  into_row_major(points.y, order, x.geometry, gil);
  return points;
}

namespace {

// The first point of xs that ys holds too, both in row-major order (a merge).
std::optional<std::size_t> first_shared(const std::vector<std::int64_t>& xs,
                                        const std::vector<std::int64_t>& ys, std::size_t ndim,
                                        rt::WithoutGil& gil) {
  const std::size_t count = xs.size() / ndim;
  const std::size_t others = ys.size() / ndim;
  std::size_t j = 0;
  for (std::size_t i = 0; i < count && j < others; ++i) {
    const std::int64_t* p = &xs[i * ndim];
    for (; j < others; ++j) {
      const std::int64_t* q = &ys[j * ndim];
      const bool before = std::lexicographical_compare(q, q + ndim, p, p + ndim);
      if (!before) break;
    }
    if (j < others && std::equal(p, p + ndim, &ys[j * ndim])) return i;
    if ((i & 0xffff) == 0) gil.progress(0x10000);
  }
  return std::nullopt;
}

}  // namespace

bool shared_elements_are_closest(const Spacing& spacing, std::size_t ndim) {
  return std::all_of(spacing.values.begin(),
                     spacing.values.begin() + static_cast<std::ptrdiff_t>(ndim),
                     [](double value) { return value != 0.0; });
}

ClosestPair closest_pair(const std::vector<std::int64_t>& xs, const std::vector<std::int64_t>& ys,
                         const Spacing& spacing, std::size_t ndim, rt::WithoutGil& gil) {
  // The first row of length 0 is the first shared element of x's shell: the minimum is
  // found without a tree.
  if (shared_elements_are_closest(spacing, ndim)) {
    if (const auto shared = first_shared(xs, ys, ndim, gil)) {
      ClosestPair pair;
      std::copy_n(&xs[*shared * ndim], ndim, pair.from.begin());
      pair.to = pair.from;
      return pair;
    }
  }
  if (auto pair = closest_pair_by_lines(xs, ys, spacing, ndim, gil)) return *pair;
  const KdTree tree(ys, spacing, ndim, gil);
  const std::size_t count = xs.size() / ndim;
  constexpr double kInfinity = std::numeric_limits<double>::infinity();

  // A sample of the shell of x gives an upper bound of the minimum first, so that the
  // ordered pass below can skip the many points that cannot come close to it.
  double limit = kInfinity;
  const std::size_t stride = std::max<std::size_t>(1, count / 256);
  for (std::size_t i = 0; i < count; i += stride) {
    double local = kInfinity;
    std::size_t ignored = 0;
    tree.nearest(&xs[i * ndim], limit, local, ignored);
    limit = std::min(limit, local);
  }

  double best = kInfinity;
  std::size_t best_from = 0;
  std::size_t best_to = 0;
  for (std::size_t i = 0; i < count; ++i) {
    gil.progress(1024);  // a query looks at a few hundred points, or far fewer
    double local = kInfinity;
    std::size_t local_index = 0;
    tree.nearest(&xs[i * ndim], std::min(limit, best), local, local_index);
    if (local < best) {  // an equal length of a later x point does not win
      best = local;
      best_from = i;
      best_to = local_index;
    }
    if (best == 0.0) break;  // nothing is shorter, and later rows lose ties
  }
  ClosestPair pair;
  std::copy_n(&xs[best_from * ndim], ndim, pair.from.begin());
  std::copy_n(&ys[best_to * ndim], ndim, pair.to.begin());
  return pair;
}

}  // namespace orvane::medical::fast
