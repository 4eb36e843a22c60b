#include "datatypes/string.hpp"

#include <cstring>

#include "runtime/memory.hpp"
#include "runtime/roots.hpp"

namespace qel::string {

using mem::Buffer;
using mem::buffer_of;

Cell* make_at(Cell* out, u32 capacity, u32 unit, Type t) {
  u32 node = mem::alloc_series_unit(capacity, unit);
  return make_series(out, t, node);
}

void widen(u32 node, u32 unit) {
  Buffer* b = buffer_of(node);
  u32 old_unit = b->unit();
  if (unit <= old_unit) return;
  u32 head_units = (b->head - b->data_offset()) / old_unit;
  u32 count = b->used() / old_unit;
  u64 need = u64(head_units + count) * unit;
  if (need > b->size) {
    b = mem::expand_series_copy(node, u32(u64(count) * unit + 16));
    head_units = 0;
  }
  // Convert from the last unit down, so that no unit is overwritten before it is read.
  u8* data = b->data();
  u8* src = data + u64(head_units) * old_unit;
  u8* dst = data + u64(head_units) * unit;
  for (u32 i = count; i-- > 0;) put_char(dst + u64(i) * unit, unit, get_char(src + u64(i) * old_unit, old_unit));
  b->flags = (b->flags & ~mem::SERIES_UNIT_MASK) | unit;
  b->head = b->data_offset() + head_units * unit;
  b->tail = b->head + count * unit;
}

void append_char(Cell* str, u32 cp) {
  u32 node = series_node(str);
  Buffer* b = buffer_of(node);
  u32 unit = b->unit();
  if (unit == 1 && cp >= 128) widen(node, cp >= 65536 ? 4 : 2);
  else if (unit == 2 && cp >= 65536) widen(node, 4);
  unit = buffer_of(node)->unit();
  u8* p = mem::alloc_tail_bytes(node, unit);
  put_char(p, unit, cp);
}

void append_ascii(Cell* str, const char* text, std::size_t n) {
  u32 node = series_node(str);
  u32 unit = buffer_of(node)->unit();
  u8* p = mem::alloc_tail_bytes(node, u32(n * unit));
  if (unit == 1) {
    std::memcpy(p, text, n);
  } else {
    for (std::size_t i = 0; i < n; ++i) put_char(p + i * unit, unit, u8(text[i]));
  }
}

u32 length_from_index(const Cell* str) {
  Buffer* b = buffer_of(series_node(str));
  i64 total = b->used() / b->unit();
  i64 n = total - series_index(str);
  return n > 0 ? u32(n) : 0;
}

void truncate(Cell* str, u32 n) {
  Buffer* b = buffer_of(series_node(str));
  if (length_from_index(str) > n) b->tail = b->head + (u32(series_index(str)) + n) * b->unit();
}

std::string to_utf8(const Cell* str) {
  Buffer* b = buffer_of(series_node(str));
  u32 unit = b->unit();
  std::string out;
  u32 total = b->used() / unit;
  for (u32 i = u32(series_index(str)); i < total; ++i) {
    u32 cp = get_char(b->head_ptr() + u64(i) * unit, unit);
    if (cp < 0x80) {
      out.push_back(char(cp));
    } else if (cp < 0x800) {
      out.push_back(char(0xC0 | (cp >> 6)));
      out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(char(0xE0 | (cp >> 12)));
      out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(char(0xF0 | (cp >> 18)));
      out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(char(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace qel::string
