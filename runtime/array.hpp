// Series-backed arrays: fixed-width items (1, 2 or 4 bytes) in a byte series
// whose unit field holds the item width. They live in collected memory and are
// reached through their node, so they move and grow without their holders
// noticing. Positions for pick/poke are 1-based; find answers a byte offset
// from the head, or -1.
#pragma once

#include "runtime/memory.hpp"

namespace qel::array {

u32 make(u32 count, u32 width);
u32 length(u32 node);
void clear(u32 node);
void cut(u32 node, u32 n);           // keeps the first n - 1 items
u32 copy(u32 node);
u32 flags(u32 node);
void append_byte(u32 node, u8 byte);
u8 pick_byte(u32 node, u32 i);       // 1-based
void append_bytes(u32 node, const void* source, u32 length);
void append_int(u32 node, i32 value);
void insert_int(u32 node, i32 value, u32 i);   // before 0-based item i
i32 find_int(u32 node, i32 value);
i32 pick_int(u32 node, u32 i);       // 1-based
void poke_int(u32 node, u32 i, i32 value);  // 1-based
void remove_at(u32 node, u32 byte_offset, u32 byte_count);
i32 remove_int(u32 node, i32 value);

}  // namespace qel::array
