#include "runtime/array.hpp"

#include <cstring>

namespace qel::array {

using mem::Buffer;
using mem::buffer_of;

u32 make(u32 count, u32 width) {
  u32 bytes = count * width;
  u32 node = mem::alloc_series(bytes ? bytes : 16, 1, 0);
  Buffer* b = buffer_of(node);
  b->flags = (b->flags & ~mem::SERIES_UNIT_MASK) | width;
  return node;
}

u32 length(u32 node) {
  Buffer* b = buffer_of(node);
  return b->used() / b->unit();
}

void clear(u32 node) {
  Buffer* b = buffer_of(node);
  b->tail = b->head;
}

void cut(u32 node, u32 n) {
  Buffer* b = buffer_of(node);
  u32 keep = n ? (n - 1) * b->unit() : 0;
  if (keep < b->used()) b->tail = b->head + keep;
}

u32 copy(u32 node) { return mem::copy_series_buffer(node); }

u32 flags(u32 node) { return buffer_of(node)->flags; }

void append_byte(u32 node, u8 byte) { *mem::alloc_tail_bytes(node, 1) = byte; }

u8 pick_byte(u32 node, u32 i) { return buffer_of(node)->head_ptr()[i - 1]; }

void append_bytes(u32 node, const void* source, u32 n) {
  std::memcpy(mem::alloc_tail_bytes(node, n), source, n);
}

void append_int(u32 node, i32 value) { std::memcpy(mem::alloc_tail_bytes(node, 4), &value, 4); }

void insert_int(u32 node, i32 value, u32 i) {
  Buffer* b = buffer_of(node);
  if (b->end_offset() - b->tail < 4) b = mem::expand_series_copy(node, b->size * 2);
  u8* at = b->head_ptr() + u64(i) * 4;
  std::memmove(at + 4, at, b->tail_ptr() - at);
  std::memcpy(at, &value, 4);
  b->tail += 4;
}

i32 find_int(u32 node, i32 value) {
  Buffer* b = buffer_of(node);
  const u8* p = b->head_ptr();
  for (u32 off = 0; off + 4 <= b->used(); off += 4) {
    i32 v;
    std::memcpy(&v, p + off, 4);
    if (v == value) return i32(off);
  }
  return -1;
}

i32 pick_int(u32 node, u32 i) {
  i32 v;
  std::memcpy(&v, buffer_of(node)->head_ptr() + u64(i - 1) * 4, 4);
  return v;
}

void poke_int(u32 node, u32 i, i32 value) {
  std::memcpy(buffer_of(node)->head_ptr() + u64(i - 1) * 4, &value, 4);
}

void remove_at(u32 node, u32 byte_offset, u32 byte_count) {
  Buffer* b = buffer_of(node);
  if (byte_offset >= b->used()) return;
  if (byte_count > b->used() - byte_offset) byte_count = b->used() - byte_offset;
  u8* at = b->head_ptr() + byte_offset;
  std::memmove(at, at + byte_count, b->tail_ptr() - (at + byte_count));
  b->tail -= byte_count;
}

i32 remove_int(u32 node, i32 value) {
  i32 off = find_int(node, value);
  if (off < 0) return -1;
  remove_at(node, u32(off), 4);
  return off;
}

}  // namespace qel::array
