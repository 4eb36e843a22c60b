// Powersort and quicksort over records in a series (see sort.hpp).
//
// Every position is a record number counted from the first record of the
// range; `base_` is the address of record 0 as fetched after the last
// comparator call, and is never used across a call. Between two comparator
// calls the sorts only swap records, except in a merge, which keeps the
// invariant that the records still held in its working memory exactly fill
// the hole it leaves in the range.
#include "runtime/sort.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"

namespace qel::sort {

namespace {

// A run shorter than this is extended by insertion before it is merged.
constexpr u32 MIN_RUN = 24;
// Ranges this short are sorted by insertion in the quicksort.
constexpr u32 INSERTION_MAX = 7;
// Stride of the presort detector's samples.
constexpr u32 SAMPLE_STRIDE = 97;

// ---- working memory ---------------------------------------------------------

// Working memory of the merges that are running (a comparator may sort
// again, so they nest). When the records are cells, the cells copied there
// are values that may be held nowhere else for a while: the collector marks
// them through mark_scratch.
struct ScratchLink {
  const u8* data;
  u32 bytes;  // the part holding copies of cells
  ScratchLink* prev;
};
ScratchLink* g_scratch = nullptr;

void mark_scratch() {
  for (ScratchLink* s = g_scratch; s; s = s->prev) {
    auto* first = reinterpret_cast<const Cell*>(s->data);
    gc::mark_values(first, first + s->bytes / sizeof(Cell));
  }
}

class Scratch {
 public:
  Scratch(u64 bytes, bool cells) {
    if (bytes > 0xFFFFFFFFull) fire(Err::script_too_long);
    data_.reset(new (std::nothrow) u8[bytes ? bytes : 1]);
    if (!data_) fire(Err::internal_no_memory);
    if (cells) {
      static const bool registered = gc::add_mark_callback(mark_scratch);
      if (!registered) fire(Err::internal_no_memory);
      link_ = {data_.get(), 0, g_scratch};
      g_scratch = &link_;
      linked_ = true;
    }
  }
  ~Scratch() {
    if (linked_) g_scratch = link_.prev;
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  u8* data() const { return data_.get(); }
  // The first `bytes` bytes now hold copies of records (stale copies stay
  // valid values, so the marked part only grows).
  void hold(u32 bytes) { link_.bytes = std::max(link_.bytes, bytes); }

 private:
  std::unique_ptr<u8[]> data_;
  ScratchLink link_{};
  bool linked_ = false;
};

// ---- record movers ----------------------------------------------------------

// Records of a width known at compile time: copies and swaps compile to a
// few moves.
template <u32 N>
struct Fixed {
  explicit Fixed(u32) {}
  static constexpr u32 width() { return N; }
  static void copy(u8* dst, const u8* src) { std::memcpy(dst, src, N); }
  static void swap(u8* a, u8* b) {
    u8 t[N];
    std::memcpy(t, a, N);
    std::memcpy(a, b, N);
    std::memcpy(b, t, N);
  }
};

// Records of any other width.
struct Wide {
  explicit Wide(u32 w) : w_(w) {}
  u32 width() const { return w_; }
  void copy(u8* dst, const u8* src) const { std::memcpy(dst, src, w_); }
  void swap(u8* a, u8* b) const {
    u8 t[64];
    for (u32 off = 0; off < w_; off += sizeof t) {
      u32 k = std::min<u32>(sizeof t, w_ - off);
      std::memcpy(t, a + off, k);
      std::memcpy(a + off, b + off, k);
      std::memcpy(b + off, t, k);
    }
  }
  u32 w_;
};

// Thrown when the series no longer holds the records; caught by the entry
// points, which then answer false.
struct SeriesChanged {};

inline int sign_of(int c) { return (c > 0) - (c < 0); }

// ---- the sorter ---------------------------------------------------------------

template <class Mover>
class Sorter {
 public:
  Sorter(const Records& r, u32 unit, void* arg1, void* arg2, Compare compare)
      : node_word_(mem::at<u32>(r.node)),
        region_(mem::region),
        offset_(r.offset),
        unit_(unit),
        need_(u64(r.offset) + u64(r.count) * r.width),
        arg1_(arg1),
        arg2_(arg2),
        compare_(compare),
        move_(r.width) {
    refresh();
  }

  void merge_sort(u32 first, u32 n);
  void quick_sort(u32 n);

 private:
  struct Pending {
    u32 start;
    u32 power;
  };

  // ---- access ----
  bool fetch() {
    auto* b = reinterpret_cast<const mem::Buffer*>(region_ + *node_word_);
    if (b->unit() != unit_ || b->used() < need_) return false;
    base_ = region_ + b->head + offset_;
    return true;
  }
  void refresh() {
    if (!fetch()) throw SeriesChanged{};
  }
  u8* at(u32 i) const { return base_ + std::size_t(i) * move_.width(); }
  int call(const u8* x, const u8* y) {
    int c = compare_(x, y, arg1_, arg2_);
    refresh();
    return c;
  }
  int compare(u32 i, u32 j) { return call(at(i), at(j)); }
  void swap(u32 i, u32 j) { move_.swap(at(i), at(j)); }
  void reverse(u32 from, u32 to) {
    while (to > from + 1) swap(from++, --to);
  }
  // Moves count records from src to dst by swapping, keeping their order;
  // the records they displace end up where the moved ones were.
  void move_block(u32 src, u32 dst, u32 count) {
    if (dst < src) {
      for (u32 i = 0; i < count; ++i) swap(src + i, dst + i);
    } else if (dst > src) {
      for (u32 i = count; i-- > 0;) swap(src + i, dst + i);
    }
  }
  void insertion(u32 from, u32 sorted_end, u32 to) {
    for (u32 i = sorted_end; i < to; ++i) {
      for (u32 j = i; j > from && compare(j - 1, j) > 0; --j) swap(j - 1, j);
    }
  }

  // ---- merge sort ----
  u32 next_run(u32 start, u32 end);
  void merge(Scratch& s, u32 left, u32 mid, u32 right);
  static u32 node_power(u32 begin_a, u32 begin_b, u32 end_b, u32 first, u32 n);

  // ---- quicksort ----
  bool in_order(u32 i, u32 j, int d) { return d * sign_of(compare(i, j)) <= 0; }
  u32 gather(u32 prefix, u32 n, int d);
  void partition_loop(u32 b, i64 k, u32 n, int budget);

  const u32* node_word_;  // the node: it never moves, unlike the buffer it names
  u8* region_;
  u32 offset_;
  u32 unit_;
  u64 need_;  // bytes from the head the series must hold
  void* arg1_;
  void* arg2_;
  Compare compare_;
  Mover move_;
  u8* base_ = nullptr;
};

// The end of the natural run that begins at start: ascending (equal
// neighbours allowed), or strictly descending and then reversed, so that
// equal records keep their order.
template <class Mover>
u32 Sorter<Mover>::next_run(u32 start, u32 end) {
  if (start + 1 >= end) return end;
  u32 i = start + 1;
  if (compare(start, i) <= 0) {
    while (i + 1 < end && compare(i, i + 1) <= 0) ++i;
  } else {
    while (i + 1 < end && compare(i, i + 1) > 0) ++i;
    reverse(start, i + 1);
  }
  return i + 1;
}

// Merges the sorted runs [left, mid) and [mid, right). The shorter run is
// copied out; equal records keep their order.
template <class Mover>
void Sorter<Mover>::merge(Scratch& s, u32 left, u32 mid, u32 right) {
  if (left >= mid || mid >= right) return;
  const u32 w = move_.width();
  u8* temp = s.data();
  if (right - mid < mid - left) {
    // Right run out; merge from the back. The hole is [li, d), ti records.
    u32 count = right - mid;
    std::memcpy(temp, at(mid), std::size_t(count) * w);
    s.hold(count * w);
    u32 li = mid, ti = count, d = right;
    try {
      while (li > left && ti > 0) {
        if (call(at(li - 1), temp + std::size_t(ti - 1) * w) > 0) {
          move_.copy(at(d - 1), at(li - 1));
          --li;
        } else {
          move_.copy(at(d - 1), temp + std::size_t(ti - 1) * w);
          --ti;
        }
        --d;
      }
    } catch (...) {
      if (fetch()) std::memcpy(at(li), temp, std::size_t(ti) * w);
      throw;
    }
    std::memcpy(at(li), temp, std::size_t(ti) * w);
  } else {
    // Left run out; merge from the front. The hole is [d, ri), count - ti records.
    u32 count = mid - left;
    std::memcpy(temp, at(left), std::size_t(count) * w);
    s.hold(count * w);
    u32 ti = 0, ri = mid, d = left;
    try {
      while (ti < count && ri < right) {
        if (call(temp + std::size_t(ti) * w, at(ri)) <= 0) {
          move_.copy(at(d), temp + std::size_t(ti) * w);
          ++ti;
        } else {
          move_.copy(at(d), at(ri));
          ++ri;
        }
        ++d;
      }
    } catch (...) {
      if (fetch()) std::memcpy(at(d), temp + std::size_t(ti) * w, std::size_t(count - ti) * w);
      throw;
    }
    std::memcpy(at(d), temp + std::size_t(ti) * w, std::size_t(count - ti) * w);
  }
}

// The power of the boundary between run A = [begin_a, begin_b) and run
// B = [begin_b, end_b) of a range of n records starting at first: one more
// than the number of leading bits in which the midpoints of A and B, as
// fractions of n, agree.
template <class Mover>
u32 Sorter<Mover>::node_power(u32 begin_a, u32 begin_b, u32 end_b, u32 first, u32 n) {
  u64 a = u64(begin_a - first) + (begin_b - first);
  u64 b = u64(begin_b - first) + (end_b - first);
  u32 power = 0;
  for (;;) {
    bool bit_a = a >= n, bit_b = b >= n;
    if (bit_a != bit_b) break;
    ++power;
    if (bit_a) {
      a -= n;
      b -= n;
    }
    a *= 2;
    b *= 2;
  }
  return power + 1;
}

// Powersort of the records [first, first + n).
template <class Mover>
void Sorter<Mover>::merge_sort(u32 first, u32 n) {
  if (n < 2) return;
  const u32 end = first + n;
  Scratch scratch(u64(n / 2) * move_.width(), unit_ == sizeof(Cell));
  auto run_from = [&](u32 start) {
    u32 stop = next_run(start, end);
    if (stop - start < MIN_RUN) {
      u32 extended = std::min(end, start + MIN_RUN);
      insertion(start, stop, extended);
      stop = extended;
    }
    return stop;
  };
  // Pending runs have strictly increasing powers from the bottom, so 64
  // entries are far more than a 32-bit count can need.
  Pending stack[64];
  int top = 0;
  u32 begin_a = first;
  u32 end_a = run_from(first);
  while (end_a < end) {
    u32 begin_b = end_a;
    u32 end_b = run_from(begin_b);
    u32 power = node_power(begin_a, begin_b, end_b, first, n);
    while (top > 0 && stack[top - 1].power > power) {
      --top;
      merge(scratch, stack[top].start, begin_a, end_a);
      begin_a = stack[top].start;
    }
    if (top == 64) {  // cannot happen; merging keeps the sort correct anyway
      --top;
      merge(scratch, stack[top].start, begin_a, end_a);
      begin_a = stack[top].start;
    }
    stack[top++] = {begin_a, power};
    begin_a = begin_b;
    end_a = end_b;
  }
  while (top > 0) {
    --top;
    merge(scratch, stack[top].start, begin_a, end);
    begin_a = stack[top].start;
  }
}

// Grows the sorted prefix [0, prefix) of presorted input (in order means
// d * compare <= 0) by gathering the ordered stretches found further on.
// Answers the new prefix length.
template <class Mover>
u32 Sorter<Mover>::gather(u32 prefix, u32 n, int d) {
  u32 cur = prefix;
  while (cur + 10 < n) {
    u32 look = cur + 10;
    u32 hi = look;
    while (hi + 1 < n && in_order(hi, hi + 1, d)) ++hi;
    u32 lo = look;
    while (lo > prefix && in_order(lo - 1, lo, d)) --lo;
    cur = hi + 1;
    u32 len = hi + 1 - lo;
    if (len < 4) continue;
    u32 drop = 0;
    if (prefix > 0) {
      // The prefix's j-th last record against the stretch's j-th: the first
      // pair in order tells how many records both must give up.
      u32 t = std::min(len / 2, prefix / 4);
      while (drop < t && !in_order(prefix - 1 - drop, lo + drop, d)) ++drop;
      if (drop == t) continue;
    }
    prefix -= drop;
    lo += drop;
    u32 take = hi + 1 - lo;
    move_block(lo, prefix, take);
    prefix += take;
  }
  return prefix;
}

template <class Mover>
void Sorter<Mover>::quick_sort(u32 n) {
  if (n < 2) return;
  // Direction of the leading run, from its first unequal pair.
  u32 i = 0;
  int d = 0;
  for (; i + 1 < n; ++i) {
    int c = compare(i, i + 1);
    if (c != 0) {
      d = c < 0 ? 1 : -1;
      break;
    }
  }
  if (d == 0) return;  // all records equal
  u32 j = i + 1;
  while (j + 1 < n && in_order(j, j + 1, d)) ++j;
  if (j + 1 >= n) {  // one run
    if (d < 0) reverse(0, n);
    return;
  }
  u32 prefix = j + 1;
  // Sampled score of the order: how sorted the input looks, and which way.
  i64 score = i64(prefix) * d;
  for (u32 p = j + 1; p + 1 < n; p += SAMPLE_STRIDE) score -= sign_of(compare(p, p + 1));
  i64 magnitude = score < 0 ? -score : score;
  if (magnitude > i64(n / 512)) {
    if (d * score < 0) {
      prefix = 0;
      d = -d;
    }
    prefix = gather(prefix, n, d);
  }
  if (d < 0) reverse(0, prefix);
  if (prefix < n) partition_loop(0, prefix, n, 2 * int(std::bit_width(n)) + 8);
}

// Sorts the records [b, b + n). k > 0: the first k are sorted already; k < 0:
// the last -k are. A sorted block of 3 or more records gives the pivot (its
// median) and two parts known to lie on either side of it. budget bounds the
// rounds: a comparator that defeats the pivots gets the merge sort instead.
template <class Mover>
void Sorter<Mover>::partition_loop(u32 b, i64 k, u32 n, int budget) {
  while (n > INSERTION_MAX) {
    if (budget-- <= 0) {
      merge_sort(b, n);
      return;
    }
    u32 h = u32(k < 0 ? -k : k);
    u32 m;       // records taken in this round: [b, b + m)
    u32 pivot;   // its position; [b, b + pivot) is the sorted lower part
    u32 upper;   // [b + m - upper, b + m) is the sorted upper part
    if (h < 3) {
      m = n >= 512 ? 63 : n;
      swap(b + m / 2, b + 1);
      if (compare(b, b + 1) > 0) swap(b, b + 1);
      if (compare(b + 1, b + m - 1) > 0) {
        swap(b + 1, b + m - 1);
        if (compare(b, b + 1) > 0) swap(b, b + 1);
      }
      pivot = 1;
      upper = 1;
    } else {
      m = h <= n / 256 ? 16 * h - 1 : n;
      if (k < 0) {
        // A block at the end comes to the front: all of it, or only its
        // lower half when its upper half can stay where it is.
        move_block(b + n - h, b, m < n ? h : (h + 1) / 2);
        if (m < n) k = h;
      }
      if (m < n) {
        // Work on a sample spread over the whole range.
        u32 step = n / m;
        for (u32 j = 1; h + j < m; ++j) swap(b + h + j, b + h + j * step);
      }
      if (m < n || k > 0) move_block(b + h - h / 2, b + m - h / 2, h / 2);
      pivot = (h - 1) / 2;
      upper = h / 2;
    }

    // Three-way partition of [p + 1, hi) around the pivot at p: less records
    // stay left, equal ones join the run [p + 1, p + 1 + e), greater ones go
    // right.
    const u32 p = b + pivot;
    const u32 hi = b + m - upper;
    u32 e = 0;
    u32 l = p + 1, r = hi;
    for (;;) {
      while (l < r) {
        int c = compare(l, p);
        if (c > 0) break;
        if (c == 0) swap(l, p + 1 + e++);
        ++l;
      }
      if (l >= r) break;
      int c = 1;
      while (r - 1 > l) {
        c = compare(r - 1, p);
        if (c <= 0) break;
        --r;
      }
      if (r - 1 == l) break;
      swap(l, r - 1);
      if (c == 0) swap(l, p + 1 + e++);
      ++l;
      --r;
    }
    // The pivot and its equal run go just before the first greater record.
    const u32 g = l;
    const u32 equal = e + 1;
    const u32 c = std::min(equal, g - (p + equal));
    for (u32 t = 0; t < c; ++t) swap(p + t, g - c + t);
    const u32 less_n = g - equal - b;
    const u32 greater_n = b + m - g;

    if (greater_n > upper) partition_loop(g, -i64(upper), greater_n, budget);
    if (m < n) {
      if (less_n > pivot) partition_loop(b, pivot, less_n, budget);
      k = m;  // the first m records are sorted now
    } else {
      if (less_n <= pivot) return;
      n = less_n;
      k = pivot;
    }
  }
  insertion(b, b + 1, b + n);
}

// Picks the record mover for the width and runs the sort.
template <class Run>
bool dispatch(const Records& r, void* arg1, void* arg2, Compare compare, Run run) {
  if (r.count < 2) return true;
  mem::Buffer* b = mem::buffer_of(r.node);
  u32 unit = b->unit();
  if (!unit || !r.width || r.width % unit ||
      u64(r.offset) + u64(r.count) * r.width > b->used()) {
    return false;
  }
  u32 node = r.node;
  roots::NodeRoot hold(&node);  // the series lives as long as the sort
  try {
    switch (r.width) {
      case 1: { Sorter<Fixed<1>> s(r, unit, arg1, arg2, compare); run(s); break; }
      case 2: { Sorter<Fixed<2>> s(r, unit, arg1, arg2, compare); run(s); break; }
      case 4: { Sorter<Fixed<4>> s(r, unit, arg1, arg2, compare); run(s); break; }
      case 16: { Sorter<Fixed<16>> s(r, unit, arg1, arg2, compare); run(s); break; }
      case 32: { Sorter<Fixed<32>> s(r, unit, arg1, arg2, compare); run(s); break; }
      default: { Sorter<Wide> s(r, unit, arg1, arg2, compare); run(s); break; }
    }
  } catch (const SeriesChanged&) {
    return false;
  }
  return true;
}

}  // namespace

bool merge_sort(Records r, void* arg1, void* arg2, Compare compare) {
  if (r.count >= 2 && u64(r.count / 2) * r.width > 0xFFFFFFFFull) fire(Err::script_too_long);
  return dispatch(r, arg1, arg2, compare, [&](auto& s) { s.merge_sort(0, r.count); });
}

bool quick_sort(Records r, void* arg1, void* arg2, Compare compare) {
  return dispatch(r, arg1, arg2, compare, [&](auto& s) { s.quick_sort(r.count); });
}

}  // namespace qel::sort
