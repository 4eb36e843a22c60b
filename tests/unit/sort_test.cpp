// Sorting records in series: results against std::stable_sort over many
// input shapes, record widths and comparator arguments, the cost on
// presorted input, and safety when the comparator raises, allocates, moves
// buffers or changes the series being sorted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "datatypes/pair.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/sort.hpp"
#include "runtime/stack.hpp"
#include "tests/unit/test_support.hpp"

namespace sort_test {

using namespace qel;
using namespace qel::test;

namespace {

using Sort = bool (*)(sort::Records, void*, void*, sort::Compare);

struct Algo {
  const char* name;
  Sort run;
  bool stable;
};
const Algo kAlgos[] = {{"merge_sort", sort::merge_sort, true},
                       {"quick_sort", sort::quick_sort, false}};

// A record of one cell: a pair! of an integer key and its original position,
// which tells equal keys apart.
struct Rec {
  i32 key;
  u32 seq;
  bool operator==(const Rec&) const = default;
};
bool key_less(const Rec& a, const Rec& b) { return a.key < b.key; }
bool full_less(const Rec& a, const Rec& b) { return a.key != b.key ? a.key < b.key : a.seq < b.seq; }

u32 make_block(const std::vector<Rec>& recs) {
  u32 node = mem::alloc_cells(u32(recs.size()));
  for (const Rec& r : recs) {
    pair::make_in(node, r.key, i32(r.seq));
  }
  return node;
}

std::vector<Rec> read_block(u32 node) {
  std::vector<Rec> out;
  mem::Buffer* b = mem::buffer_of(node);
  for (const Cell* c = b->cells(); c < b->cell_tail(); ++c) out.push_back({pair::x(c), u32(pair::y(c))});
  return out;
}

u64 g_calls = 0;

// The key of a one-cell record.
i32 key_of(const void* record) { return pair::x(static_cast<const Cell*>(record)); }

// Orders one-cell records by their integer.
int by_key(const void* x, const void* y, void*, void*) {
  ++g_calls;
  i32 a = key_of(x), b = key_of(y);
  return (a > b) - (a < b);
}

std::vector<Rec> shaped(const std::string& shape, u32 n, std::mt19937& rng) {
  std::vector<Rec> v(n);
  for (u32 i = 0; i < n; ++i) {
    i32 k;
    if (shape == "random") k = i32(rng() % 1000000);
    else if (shape == "few keys") k = i32(rng() % 5);
    else if (shape == "sorted") k = i32(i);
    else if (shape == "reversed") k = i32(n - i);
    else if (shape == "descending pairs") k = i32((n - i) / 2);  // equal neighbours
    else if (shape == "all equal") k = 7;
    else if (shape == "sawtooth") k = i32(i % 50);
    else if (shape == "organ pipe") k = i32(std::min(i, n - i));
    else if (shape == "sorted + random tail") k = i < n * 9 / 10 ? i32(i) : i32(rng() % n);
    else k = i32(i);  // "nearly sorted": swapped below
    v[i] = {k, i};
  }
  if (shape == "nearly sorted") {
    for (u32 s = 0; s < n / 100 + 1 && n > 1; ++s) std::swap(v[rng() % n].key, v[rng() % n].key);
  }
  return v;
}

}  // namespace

TEST(Sort, EveryShapeAndSizeAgainstStableSort) {
  const char* shapes[] = {"random", "few keys", "sorted", "reversed", "descending pairs",
                          "all equal", "sawtooth", "organ pipe", "sorted + random tail",
                          "nearly sorted"};
  const u32 sizes[] = {2, 3, 7, 8, 9, 23, 24, 25, 63, 64, 100, 511, 512, 1000, 5000, 70000};
  std::mt19937 rng(7);
  for (const Algo& algo : kAlgos) {
    for (const char* shape : shapes) {
      for (u32 n : sizes) {
        std::vector<Rec> input = shaped(shape, n, rng);
        u32 node = make_block(input);
        roots::NodeRoot keep(&node);
        ASSERT_TRUE(algo.run({node, 0, n, 16}, nullptr, nullptr, by_key));
        std::vector<Rec> got = read_block(node);
        std::vector<Rec> want = input;
        std::stable_sort(want.begin(), want.end(), key_less);
        if (algo.stable) {
          ASSERT_EQ(got, want) << algo.name << " " << shape << " n=" << n;
        } else {
          ASSERT_TRUE(std::is_sorted(got.begin(), got.end(), key_less)) << algo.name << " " << shape << " n=" << n;
          std::sort(got.begin(), got.end(), full_less);
          std::sort(want.begin(), want.end(), full_less);
          ASSERT_EQ(got, want) << algo.name << " " << shape << " n=" << n << ": not a permutation";
        }
      }
    }
  }
}

TEST(Sort, ZeroOrOneRecordCallsNothingAndAPartOfTheSeriesSortsAlone) {
  std::vector<Rec> input = {{5, 0}, {4, 1}, {3, 2}, {2, 3}, {1, 4}};
  for (const Algo& algo : kAlgos) {
    u32 node = make_block(input);
    roots::NodeRoot keep(&node);
    g_calls = 0;
    EXPECT_TRUE(algo.run({node, 0, 0, 16}, nullptr, nullptr, by_key));
    EXPECT_TRUE(algo.run({node, 16, 1, 16}, nullptr, nullptr, by_key));
    EXPECT_EQ(g_calls, 0u) << algo.name;
    EXPECT_EQ(read_block(node), input);
    // Records 1 to 3 only.
    EXPECT_TRUE(algo.run({node, 16, 3, 16}, nullptr, nullptr, by_key));
    std::vector<Rec> want = {{5, 0}, {2, 3}, {3, 2}, {4, 1}, {1, 4}};
    EXPECT_EQ(read_block(node), want) << algo.name;
    // A range that does not lie inside the series is refused.
    EXPECT_FALSE(algo.run({node, 16, 5, 16}, nullptr, nullptr, by_key)) << algo.name;
    EXPECT_FALSE(algo.run({node, 0, 2, 24}, nullptr, nullptr, by_key)) << "width not a whole number of cells";
  }
}

TEST(Sort, PresortedInputIsCheap) {
  // A full sort of random input takes about n log2 n = 1.7 million calls.
  const u32 n = 100000;
  std::mt19937 rng(3);
  std::vector<Rec> far_swaps = shaped("sorted", n, rng);
  for (u32 i = 1; i <= 50; ++i) std::swap(far_swaps[i * 1900].key, far_swaps[i * 1900 + 950].key);
  struct Case {
    const char* shape;
    std::vector<Rec> input;
    u64 merge_limit, quick_limit;
  };
  const Case cases[] = {
      {"sorted", shaped("sorted", n, rng), n, n},
      {"reversed", shaped("reversed", n, rng), n, n},
      // The quicksort gathers the ordered stretches into one sorted block.
      {"50 far swaps", far_swaps, 20 * n, 3 * n},
      {"sorted + random tail", shaped("sorted + random tail", n, rng), 20 * n, 3 * n},
  };
  for (const Case& c : cases) {
    for (const Algo& algo : kAlgos) {
      u32 node = make_block(c.input);
      roots::NodeRoot keep(&node);
      g_calls = 0;
      algo.run({node, 0, n, 16}, nullptr, nullptr, by_key);
      EXPECT_LE(g_calls, algo.stable ? c.merge_limit : c.quick_limit) << algo.name << " " << c.shape;
      std::vector<Rec> got = read_block(node);
      EXPECT_TRUE(std::is_sorted(got.begin(), got.end(), key_less)) << algo.name << " " << c.shape;
    }
  }
}

namespace {

// Answers at random, or, after `honest_calls` calls, that x always sorts
// before y: that defeats every pivot the quicksort can choose.
struct Liar {
  std::mt19937 rng;
  u64 calls = 0;
  u64 honest_calls;
};

int lying(const void*, const void*, void* arg1, void*) {
  auto* l = static_cast<Liar*>(arg1);
  if (++l->calls > l->honest_calls) return -1;
  return int(l->rng() % 3) - 1;
}

}  // namespace

TEST(Sort, AnInconsistentComparatorStillEndsWithAPermutation) {
  std::mt19937 rng(21);
  for (const Algo& algo : kAlgos) {
    for (u32 n : {10u, 1000u, 50000u}) {
      for (u64 honest : {~u64(0), u64(2) * n}) {
        std::vector<Rec> input = shaped("random", n, rng);
        u32 node = make_block(input);
        roots::NodeRoot keep(&node);
        Liar liar{std::mt19937(n), 0, honest};
        EXPECT_TRUE(algo.run({node, 0, n, 16}, &liar, nullptr, lying)) << algo.name;
        // Bounded work even so: a consistent sort of n records needs about n log2 n.
        EXPECT_LE(liar.calls, 20 * u64(n)) << algo.name << " n=" << n;
        std::vector<Rec> got = read_block(node);
        std::sort(got.begin(), got.end(), full_less);
        std::sort(input.begin(), input.end(), full_less);
        EXPECT_EQ(got, input) << algo.name << " n=" << n;
      }
    }
  }
}

namespace {

// Records of `width` bytes compared byte by byte, from arg1 (a byte offset)
// for arg2 bytes.
int by_bytes(const void* x, const void* y, void* arg1, void* arg2) {
  auto off = reinterpret_cast<std::uintptr_t>(arg1);
  auto len = reinterpret_cast<std::uintptr_t>(arg2);
  return std::memcmp(static_cast<const u8*>(x) + off, static_cast<const u8*>(y) + off, len);
}

}  // namespace

TEST(Sort, RecordWidthsUnitsAndComparatorArguments) {
  struct Case {
    u32 unit;   // of the series
    u32 width;  // of a record
    u32 key_offset, key_length;
  };
  const Case cases[] = {
      {1, 1, 0, 1},    // bytes of a string
      {1, 3, 0, 3},    // odd width: byte-wise moves
      {1, 3, 2, 1},    // keyed on the last byte only
      {2, 2, 1, 1},    // 2-byte units
      {4, 4, 0, 4},    // 4-byte units
      {4, 12, 4, 4},   // three units, keyed on the middle one
      {16, 32, 16, 4}, // two cells (skip 2), keyed on the second cell's header
      {16, 48, 40, 8}, // three cells, keyed on the last cell's words 2 and 3
  };
  std::mt19937 rng(11);
  for (const Case& c : cases) {
    for (const Algo& algo : kAlgos) {
      for (u32 n : {5u, 40u, 3000u}) {
        // Few distinct bytes, so that equal keys are common.
        std::vector<u8> bytes(std::size_t(n) * c.width);
        for (u8& b : bytes) b = u8('a' + rng() % 4);
        u32 node = mem::alloc_series(n * c.width / c.unit, c.unit, 0);
        roots::NodeRoot keep(&node);
        std::memcpy(mem::alloc_tail_bytes(node, n * c.width), bytes.data(), bytes.size());

        void* off = reinterpret_cast<void*>(std::uintptr_t(c.key_offset));
        void* len = reinterpret_cast<void*>(std::uintptr_t(c.key_length));
        ASSERT_TRUE(algo.run({node, 0, n, c.width}, off, len, by_bytes));

        using R = std::vector<u8>;
        std::vector<R> want, got;
        const u8* data = mem::buffer_of(node)->head_ptr();
        for (u32 i = 0; i < n; ++i) {
          want.emplace_back(bytes.begin() + i * c.width, bytes.begin() + (i + 1) * c.width);
          got.emplace_back(data + i * c.width, data + (i + 1) * c.width);
        }
        auto key_order = [&](const R& a, const R& b) {
          return std::memcmp(a.data() + c.key_offset, b.data() + c.key_offset, c.key_length) < 0;
        };
        std::stable_sort(want.begin(), want.end(), key_order);
        std::string what = std::string(algo.name) + " width " + std::to_string(c.width) +
                           " n=" + std::to_string(n);
        if (algo.stable) {
          ASSERT_EQ(got, want) << what;
        } else {
          ASSERT_TRUE(std::is_sorted(got.begin(), got.end(), key_order)) << what;
          std::sort(got.begin(), got.end());
          std::sort(want.begin(), want.end());
          ASSERT_EQ(got, want) << what << ": not a permutation";
        }
      }
    }
  }
}

namespace {

struct Raiser {
  u64 calls = 0;
  u64 raise_at = 0;  // 0: never
};

int raising(const void* x, const void* y, void* arg1, void*) {
  auto* r = static_cast<Raiser*>(arg1);
  if (++r->calls == r->raise_at) fire(Err::user_message);
  i32 a = key_of(x), b = key_of(y);
  return (a > b) - (a < b);
}

}  // namespace

TEST(Sort, ARaisingComparatorLeavesAPermutation) {
  std::mt19937 rng(99);
  for (const Algo& algo : kAlgos) {
    for (int trial = 0; trial < 300; ++trial) {
      u32 n = 2 + rng() % (trial % 3 == 0 ? 5000 : 200);
      std::vector<Rec> input = shaped(trial % 2 ? "random" : "few keys", n, rng);
      // Count the calls of an undisturbed run, then raise at a random one of them.
      Raiser count;
      u32 node = make_block(input);
      roots::NodeRoot keep(&node);
      algo.run({node, 0, n, 16}, &count, nullptr, raising);
      Raiser raiser;
      raiser.raise_at = 1 + rng() % count.calls;
      u32 node2 = make_block(input);
      roots::NodeRoot keep2(&node2);
      std::optional<Err> err = raised([&] { algo.run({node2, 0, n, 16}, &raiser, nullptr, raising); });
      ASSERT_EQ(err, Err::user_message) << algo.name << " trial " << trial;
      std::vector<Rec> got = read_block(node2);
      std::sort(got.begin(), got.end(), full_less);
      std::sort(input.begin(), input.end(), full_less);
      ASSERT_EQ(got, input) << algo.name << " n=" << n << " raised at call " << raiser.raise_at
                            << " of " << count.calls;
    }
  }
  // Nothing of the interrupted sorts is left for the collector to look at.
  Guard on;
  gc::do_cycle();
}

TEST(Sort, TooLongWorkingMemoryRaises) {
  u32 node = mem::alloc_cells(4);
  roots::NodeRoot keep(&node);
  EXPECT_EQ(raised([&] { sort::merge_sort({node, 0, 0x10000, 0x20000}, nullptr, nullptr, by_key); }),
            Err::script_too_long);
}

namespace {

// One-cell records that are blocks holding [key seq]; the comparator reads
// them through their nodes, then allocates, and every few calls collects,
// so buffers move in the middle of the sort.
u32 g_churn = 0;

int by_inner_key_allocating(const void* x, const void* y, void*, void*) {
  Cell a = *static_cast<const Cell*>(x);  // copies: x and y die at the first allocation
  Cell b = *static_cast<const Cell*>(y);
  mem::alloc_cells(3);
  if (++g_churn % 5 == 0) gc::do_cycle();
  i32 ka = int_of(mem::buffer_of(series_node(&a))->cells());
  i32 kb = int_of(mem::buffer_of(series_node(&b))->cells());
  return (ka > kb) - (ka < kb);
}

}  // namespace

TEST(Sort, AnAllocatingComparatorUnderCollection) {
  Guard on;
  std::mt19937 rng(5);
  for (const Algo& algo : kAlgos) {
    const u32 n = 300;
    mem::alloc_cells(100);  // garbage below the block, so compaction moves it
    u32 outer = mem::alloc_cells(n);
    roots::NodeRoot keep(&outer);
    std::vector<Rec> input;
    for (u32 i = 0; i < n; ++i) {
      u32 inner = mem::alloc_cells(2);
      roots::NodeRoot keep_inner(&inner);
      input.push_back({i32(rng() % 40), i});
      make_integer(mem::alloc_tail_cell(inner), input.back().key);
      make_integer(mem::alloc_tail_cell(inner), i32(i));
      make_series(mem::alloc_tail_cell(outer), TYPE_BLOCK, inner);
    }
    ASSERT_TRUE(algo.run({outer, 0, n, 16}, nullptr, nullptr, by_inner_key_allocating));
    gc::do_cycle();
    // Every inner block is alive and holds what it held.
    std::vector<Rec> got;
    for (u32 i = 0; i < n; ++i) {
      Cell* c = mem::buffer_of(outer)->cells() + i;
      ASSERT_EQ(type_of(c), TYPE_BLOCK);
      Cell* in = mem::buffer_of(series_node(c))->cells();
      got.push_back({int_of(in), u32(int_of(in + 1))});
    }
    std::vector<Rec> want = input;
    std::stable_sort(want.begin(), want.end(), key_less);
    if (algo.stable) {
      EXPECT_EQ(got, want) << algo.name;
    } else {
      EXPECT_TRUE(std::is_sorted(got.begin(), got.end(), key_less)) << algo.name;
      std::sort(got.begin(), got.end(), full_less);
      std::sort(want.begin(), want.end(), full_less);
      EXPECT_EQ(got, want) << algo.name << ": not a permutation";
    }
  }
}

namespace {

// A comparator that appends to, or empties, the block it sorts.
struct Meddler {
  u32 node;
  u64 calls = 0;
  u64 clear_at = 0;  // 0: append a cell at every call instead
};

int meddling(const void* x, const void* y, void* arg1, void*) {
  auto* m = static_cast<Meddler*>(arg1);
  i32 a = key_of(x), b = key_of(y);
  ++m->calls;
  mem::Buffer* buf = mem::buffer_of(m->node);
  if (m->clear_at == 0) {
    pair::make_in(m->node, -1, 0);  // grows: the buffer is replaced
  } else if (m->calls == m->clear_at) {
    buf->tail = buf->head;
  }
  return (a > b) - (a < b);
}

}  // namespace

TEST(Sort, AComparatorThatChangesTheSeries) {
  std::mt19937 rng(8);
  for (const Algo& algo : kAlgos) {
    const u32 n = 2000;
    std::vector<Rec> input = shaped("few keys", n, rng);
    // Growing the series moves its records to new buffers; the sort follows them.
    u32 node = make_block(input);
    roots::NodeRoot keep(&node);
    Meddler grow{node};
    ASSERT_TRUE(algo.run({node, 0, n, 16}, &grow, nullptr, meddling)) << algo.name;
    std::vector<Rec> got = read_block(node);
    ASSERT_EQ(got.size(), n + grow.calls);
    got.resize(n);
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end(), key_less)) << algo.name;
    std::sort(got.begin(), got.end(), full_less);
    std::vector<Rec> want = input;
    std::sort(want.begin(), want.end(), full_less);
    EXPECT_EQ(got, want) << algo.name;
    // Emptying it stops the sort, wherever it was.
    for (u64 at : {u64(1), grow.calls / 3, grow.calls * 2 / 3, grow.calls}) {
      u32 node2 = make_block(input);
      roots::NodeRoot keep2(&node2);
      Meddler clear{node2, 0, at};
      EXPECT_FALSE(algo.run({node2, 0, n, 16}, &clear, nullptr, meddling)) << algo.name << " " << at;
      EXPECT_EQ(clear.calls, at) << algo.name;
    }
  }
}

}  // namespace sort_test
