// The symbol table and symbol!: every word's spelling, interned once.
//
// A symbol id is the 1-based position of the spelling's entry in the symbol
// block; entries are never renumbered, so an id is stable while anything
// names it. The collector reclaims the entries of symbols made from data
// (make_from_string) after start-up once no value names them, and their ids
// are given to later spellings; symbols that C++ code names (make,
// make_any_case) and those of start-up are never reclaimed. Spellings that differ only in ASCII letter case are
// distinct symbols sharing one canonical symbol, their alias: the alias of an
// entry always names a canonical entry (the first-interned spelling of its
// case class), never another alias. Other letters are case-sensitive.
//
// Entry (a symbol! cell): word 1 the alias id (-1, or any value <= 0: none),
// word 2 the node of the spelling as a string! (0 until first asked for),
// word 3 the node of the spelling as UTF-8 followed by a NUL (the tail stops
// before the NUL).
#pragma once

#include <string_view>

#include "runtime/cell.hpp"

namespace qel::symbol {

extern u32 table;  // the symbol hash table (kind 2) over the symbol block
extern u32 block;  // the symbol block

// The entry cell: its alias word, the node of its spelling as a string! (0
// until made) and the node of its UTF-8 spelling.
inline i32 alias_of(const Cell* entry) { QEL_CHECK_TYPE(entry, TYPE_SYMBOL); return i32(entry->w1); }
inline u32 string_node(const Cell* entry) { QEL_CHECK_TYPE(entry, TYPE_SYMBOL); return entry->w2; }
inline void set_string_node(Cell* entry, u32 node) { entry->w2 = node; }
inline u32 utf8_node(const Cell* entry) { QEL_CHECK_TYPE(entry, TYPE_SYMBOL); return entry->w3; }

void init();        // registers symbol!
void init_table();  // the symbol block (kept by the root block) and its table

// Interns the exact spelling; a new case variant of a known spelling gets
// that spelling's canonical symbol as its alias.
u32 make(const char* name);
u32 make_from_string(const char* utf8, u32 length);
// Any existing spelling equal ignoring ASCII case, else a new canonical symbol.
u32 make_any_case(const char* name);
// Appends the code point to the string buffer and interns the buffer's text.
u32 make_from_code_point(Cell* buffer, u32 cp);

u32 count();                 // symbols interned so far
bool valid(u32 id);
Cell* entry(u32 id);         // the entry cell (valid until the next allocation)
Cell* get(u32 id);           // the entry, its string made first
u32 cache_string(u32 id);    // the node of the spelling as a string!, made on first use
u32 resolve(u32 id);         // the canonical symbol: the alias when > 0, else the id
i32 alias(u32 id);           // word 1 of the entry, unchanged
std::string_view name(u32 id);  // the UTF-8 spelling (valid until the next allocation)

// Orders two spellings as string comparison does: by code point, folded to
// upper case except under the strict and case-sort operators.
i32 compare_names(u32 a, u32 b, i32 op);

}  // namespace qel::symbol
