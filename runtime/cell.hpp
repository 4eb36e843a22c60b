// The value cell: the one record every Qel value lives in.
//
// A cell is 16 bytes, four 32-bit words:
//   word 0  header: bits 0-7  datatype id (1..54, see datatype_list.hpp)
//                   bit 30    new-line marker (the value starts a new line
//                             when its block is molded)
//                   other bits belong to the datatype that owns the cell
//   word 1  payload (series index, word context, logic flag, datatype id, ...)
//   word 2  payload (series node, symbol id, integer, low half of a float, ...)
//   word 3  payload (extra word, word index, high half of a float, ...)
// A cell never holds a C++ pointer: nodes and buffers are 32-bit offsets into
// the memory region (memory.hpp), so a cell can be copied with memcpy and
// marked by the collector without knowing who made it.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "platform/types.hpp"
#include "runtime/config.hpp"
#include "runtime/datatype_list.hpp"

namespace qel {

enum Type : u8 {
  TYPE_NO_TYPE = 0,
#define QEL_X(id, name, c, p) TYPE_##c = id,
  QEL_DATATYPES(QEL_X)
#undef QEL_X
};

inline constexpr int TYPE_TOP = 54;        // highest datatype id
inline constexpr int TYPE_SLOTS = 57;      // ids 0..56 have room in the tables

// Header bits shared by every datatype.
inline constexpr u32 HEADER_TYPE_MASK = 0xFFu;
inline constexpr u32 FLAG_NEW_LINE = 0x40000000u;

struct alignas(8) Cell {
  u32 header;
  u32 w1;
  u32 w2;
  u32 w3;
};
static_assert(sizeof(Cell) == 16, "a value cell is exactly 16 bytes");
static_assert(std::is_trivially_copyable_v<Cell>);
static_assert(std::is_standard_layout_v<Cell>);

[[noreturn]] void check_failed(const Cell* c, int expected, const char* where);

// Checked builds assert in the accessors that a cell is of the type, or of
// one of the types a predicate over Type accepts, that the layout it reads
// belongs to; a failing check prints the cell and aborts.
#if QEL_CHECKS
#define QEL_CHECK_TYPE(c, t) \
  do { if (((c)->header & 0xFF) != (t)) ::qel::check_failed((c), (t), __func__); } while (0)
#define QEL_CHECK_KIND(c, accepts) \
  do { if (!accepts(::qel::Type((c)->header & 0xFF))) ::qel::check_failed((c), -1, __func__); } while (0)
#else
#define QEL_CHECK_TYPE(c, t) ((void)0)
#define QEL_CHECK_KIND(c, accepts) ((void)0)
#endif

inline Type type_of(const Cell* c) { return Type(c->header & HEADER_TYPE_MASK); }

// Writes bits 0-7 of the header and keeps the flags.
inline Cell* set_type(Cell* c, Type t) {
  c->header = (c->header & ~HEADER_TYPE_MASK) | t;
  return c;
}
// A fresh header: the type and no flags.
inline Cell* init_header(Cell* c, Type t) {
  c->header = t;
  return c;
}

inline bool has_new_line(const Cell* c) { return (c->header & FLAG_NEW_LINE) != 0; }
inline void set_new_line(Cell* c, bool on) {
  c->header = on ? (c->header | FLAG_NEW_LINE) : (c->header & ~FLAG_NEW_LINE);
}
inline void clear_new_line(Cell* c) { c->header &= ~FLAG_NEW_LINE; }

inline Cell* copy_cell(const Cell* src, Cell* dst) {
  if (src != dst) std::memcpy(dst, src, sizeof(Cell));
  return dst;
}

// ---- simple payloads ----------------------------------------------------

inline i32 int_of(const Cell* c) { return i32(c->w2); }
inline void set_int_payload(Cell* c, i32 v) { c->w2 = u32(v); }
// Payload words a scalar leaves unused, cleared (cells compare and hash
// whole words).
inline void clear_word1(Cell* c) { c->w1 = 0; }
inline void clear_word3(Cell* c) { c->w3 = 0; }
inline void clear_payload(Cell* c) { c->w1 = c->w2 = c->w3 = 0; }
// The three payload words xored: a random seed from a cell's whole value.
inline u32 payload_xor(const Cell* c) { return c->w1 ^ c->w2 ^ c->w3; }
// The payload words of src into dst; dst keeps its header.
inline void copy_payload(const Cell* src, Cell* dst) {
  dst->w1 = src->w1;
  dst->w2 = src->w2;
  dst->w3 = src->w3;
}

inline double float_of(const Cell* c) {
  double d;
  std::memcpy(&d, &c->w2, sizeof d);
  return d;
}
inline void set_float_payload(Cell* c, double d) { std::memcpy(&c->w2, &d, sizeof d); }
// The float64 payload as its two halves: the low 32 bits in word 2, the high
// ones (sign and exponent) in word 3.
inline u32 float_low_word(const Cell* c) { return c->w2; }
inline u32 float_high_word(const Cell* c) { return c->w3; }
inline void set_float_words(Cell* c, u32 low, u32 high) { c->w2 = low; c->w3 = high; }

inline Cell* make_unset(Cell* c) { c->header = TYPE_UNSET; c->w1 = c->w2 = c->w3 = 0; return c; }
inline Cell* make_none(Cell* c) { c->header = TYPE_NONE; c->w1 = c->w2 = c->w3 = 0; return c; }
// logic!: word 1 is 1 for true.
inline bool logic_of(const Cell* c) { QEL_CHECK_TYPE(c, TYPE_LOGIC); return c->w1 == 1; }
inline Cell* make_logic(Cell* c, bool b) {
  c->header = TYPE_LOGIC; c->w1 = b ? 1 : 0; c->w2 = c->w3 = 0; return c;
}
inline Cell* make_integer(Cell* c, i32 v) {
  c->header = TYPE_INTEGER; c->w1 = 0; c->w2 = u32(v); c->w3 = 0; return c;
}
// Identity tests: whether the payload words selected by mask are equal
// (bit 0: word 1, bit 1: word 2, bit 2: word 3).
inline constexpr unsigned WORD_1 = 1, WORD_2 = 2, WORD_3 = 4;
inline bool same_words(const Cell* a, const Cell* b, unsigned mask) {
  return (!(mask & WORD_1) || a->w1 == b->w1) && (!(mask & WORD_2) || a->w2 == b->w2) &&
         (!(mask & WORD_3) || a->w3 == b->w3);
}

// char!: the code point in word 2. datatype!: the type id in word 1.
inline u32 char_of(const Cell* c) { QEL_CHECK_TYPE(c, TYPE_CHAR); return c->w2; }
inline void set_char_payload(Cell* c, u32 cp) { c->w2 = cp; }
inline Type datatype_of(const Cell* c) { QEL_CHECK_TYPE(c, TYPE_DATATYPE); return Type(c->w1); }
inline Cell* make_char(Cell* c, u32 cp) {
  c->header = TYPE_CHAR; c->w1 = 0; c->w2 = cp; c->w3 = 0; return c;
}
inline Cell* make_float(Cell* c, double d) {
  c->header = TYPE_FLOAT; c->w1 = 0; set_float_payload(c, d); return c;
}
inline Cell* make_datatype(Cell* c, Type t) {
  c->header = TYPE_DATATYPE; c->w1 = t; c->w2 = c->w3 = 0; return c;
}

inline bool is_none(const Cell* c) { return type_of(c) == TYPE_NONE; }
inline bool is_unset(const Cell* c) { return type_of(c) == TYPE_UNSET; }

// ---- series cells: word 1 index, word 2 node, word 3 type-specific -------

inline u32 series_node(const Cell* c) { return c->w2; }
inline i32 series_index(const Cell* c) { return i32(c->w1); }
inline void set_series_node(Cell* c, u32 node) { c->w2 = node; }
inline void set_series_index(Cell* c, i32 i) { c->w1 = u32(i); }
// Word 3 of a series cell: a type's extra reference (a hash! table, a
// string's cache), 0 when none.
inline u32 series_extra(const Cell* c) { return c->w3; }
inline void set_series_extra(Cell* c, u32 extra) { c->w3 = extra; }
// The words themselves, for the collector, which rewrites a node reference
// when the node moves.
inline const u32* series_node_slot(const Cell* c) { return &c->w2; }
inline const u32* series_extra_slot(const Cell* c) { return &c->w3; }
inline Cell* make_series(Cell* c, Type t, u32 node, i32 index = 0, u32 extra = 0) {
  c->header = t; c->w1 = u32(index); c->w2 = node; c->w3 = extra; return c;
}

// Type classes used across the runtime.
inline bool is_any_block_type(Type t) {
  return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_PATH || t == TYPE_LIT_PATH ||
         t == TYPE_SET_PATH || t == TYPE_GET_PATH || t == TYPE_HASH;
}
inline bool is_any_string_type(Type t) {
  return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG ||
         t == TYPE_EMAIL || t == TYPE_REF;
}
// A word cell's symbol (as written) and its binding context (0: unbound),
// for the layers below the word datatype (a frame is named by a word).
inline u32 word_cell_symbol(const Cell* w) { return w->w2; }
inline u32 word_cell_context(const Cell* w) { return w->w1; }
inline bool is_any_word_type(Type t) {
  return t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD ||
         t == TYPE_REFINEMENT || t == TYPE_ISSUE;
}

}  // namespace qel
