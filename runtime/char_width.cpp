#include "runtime/char_width.hpp"

#include <cstdint>

#include "runtime/collector.hpp"
#include "runtime/memory.hpp"

namespace qel {

#include "runtime/char_width_tables.inc"

bool char_in_ranges(u32 cp, const u32* table, u32 value_count) {
  if (value_count < 2 || cp < table[0] || cp > table[value_count - 1]) return false;
  // The ranges are sorted and disjoint: binary search over the pairs.
  u32 lo = 0, hi = value_count / 2;
  while (lo < hi) {
    u32 mid = (lo + hi) / 2;
    if (cp > table[mid * 2 + 1]) lo = mid + 1;
    else if (cp < table[mid * 2]) hi = mid;
    else return true;
  }
  return false;
}

#define QEL_TABLE_ARGS(t) t, u32(sizeof(t) / sizeof(t[0]))

int char_width(u32 cp) {
  if (cp == 0) return 0;
  if (cp < 32 || (cp >= 127 && cp <= 159)) return 1;
  if (char_in_ranges(cp, QEL_TABLE_ARGS(kZeroWidth))) return 0;
  if (char_in_ranges(cp, QEL_TABLE_ARGS(kWide))) return 2;
  return 1;
}

int char_width_cjk(u32 cp) {
  if (char_in_ranges(cp, QEL_TABLE_ARGS(kAmbiguous))) return 2;
  return char_width(cp);
}

namespace memstats {
namespace {

struct DisableCollector {
  bool saved = gc::enabled;
  DisableCollector() { gc::enabled = false; }
  ~DisableCollector() { gc::enabled = saved; }
};

Cell* append_count(u32 block, u64 n) {
  Cell* c = mem::alloc_tail_cell(block);
  if (n > 2147483647ull) make_float(c, double(n)); else make_integer(c, i32(n));
  return c;
}

// Appends a new block (flagged to start a new line) and answers its node.
u32 append_block(u32 parent, u32 capacity) {
  u32 node = mem::alloc_cells(capacity);
  Cell* c = mem::alloc_tail_cell(parent);
  make_series(c, TYPE_BLOCK, node);
  set_new_line(c, true);
  return node;
}

}  // namespace

double bytes_in_use() {
  DisableCollector off;
  u64 total = 0;
  for (u32 o = mem::record.node_first; o; o = mem::at<mem::NodeFrame>(o)->next) {
    total += 4ull * mem::at<mem::NodeFrame>(o)->used;
  }
  for (u32 o = mem::record.series_first; o; o = mem::at<mem::SeriesFrame>(o)->next) {
    auto* f = mem::at<mem::SeriesFrame>(o);
    total += f->free - f->data_offset();
  }
  for (u32 o = mem::record.large_first; o; o = mem::at<mem::LargeBlock>(o)->next) {
    total += mem::at<mem::LargeBlock>(o)->bytes;
  }
  return double(total);
}

void report(u32 result) {
  DisableCollector off;
  u32 nodes = append_block(result, 8);
  for (u32 o = mem::record.node_first; o; o = mem::at<mem::NodeFrame>(o)->next) {
    u32 b = append_block(nodes, 3);
    auto* f = mem::at<mem::NodeFrame>(o);
    append_count(b, f->capacity - f->used);
    append_count(b, f->used);
    append_count(b, f->capacity);
  }
  u32 series = append_block(result, 8);
  for (u32 o = mem::record.series_first; o; o = mem::at<mem::SeriesFrame>(o)->next) {
    u32 b = append_block(series, 3);
    auto* f = mem::at<mem::SeriesFrame>(o);
    append_count(b, f->end - f->free);
    append_count(b, f->free - f->data_offset());
    append_count(b, f->end - f->data_offset());
  }
  u32 large = append_block(result, 8);
  u64 outside = 0;
  for (u32 o = mem::record.large_first; o; o = mem::at<mem::LargeBlock>(o)->next) {
    u32 b = append_block(large, 1);
    u32 bytes = mem::at<mem::LargeBlock>(o)->bytes;
    append_count(b, bytes);
    outside += bytes + 12ull;
  }
  outside += mem::record.big_bytes + 16ull * mem::record.big_count;
  append_count(result, outside);
  append_count(result, mem::record.big_bytes);
}

}  // namespace memstats
}  // namespace qel
