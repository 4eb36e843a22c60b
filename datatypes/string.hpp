// string! buffers: one code point per unit, the unit being 1 (Latin-1),
// 2 (UCS-2) or 4 (UCS-4) bytes for the whole buffer. string!, file!, url!,
// tag!, email! and ref! share this layout: word 1 of the cell is the index in
// units from the buffer's head, word 2 the node.
//
// Invariant: a buffer is never narrower than its widest code point. Widening
// keeps every code point and every index that refers to the buffer (indexes
// count units); only emptying a string (reset_buffer) narrows it back to
// 1-byte units. Appending widens a 1-byte string at 128 (so 1-byte strings
// built by appending hold ASCII only), writing at a position widens it at 256,
// and a 2-byte string widens at 65536. Loading and copying keep Latin-1 code
// points 128-255 in 1-byte units.
//
// Several cells may share a buffer, so an index may lie past the tail;
// readers clamp it. Writers take the node and unit positions counted from the
// buffer's head, never raw pointers: a write may widen, and so move, the
// buffer.
#pragma once

#include <cstddef>
#include <string>

#include "datatypes/series.hpp"
#include "runtime/actions.hpp"
#include "runtime/cell.hpp"
#include "runtime/memory.hpp"
#include "runtime/unicode.hpp"

namespace qel::string {

// Start-up of the buffer layer: the scratch buffer of rotate.
void init();

// ---- making and loading ----------------------------------------------------

// Makes out a new empty string-like value with room for `capacity` units.
Cell* make_at(Cell* out, u32 capacity, u32 unit = 1, Type t = TYPE_STRING);
// The same over a buffer of `size` bytes.
Cell* make_at_unit(Cell* out, u32 size, u32 unit, Type t = TYPE_STRING);
// A copy of the cell on the arguments stack.
Cell* push(const Cell* str);

enum class Encoding { utf8, utf16le };
// Makes out (or, when out is null, a new arguments-stack cell) a string!
// decoded from the bytes, with the narrowest unit that holds the text.
// Invalid text raises access invalid-utf8 (so does an odd byte count in
// UTF-16LE). Answers the cell.
Cell* load_at(const u8* bytes, u32 length, Cell* out, Encoding enc);
inline Cell* load(const u8* bytes, u32 length, Encoding enc) { return load_at(bytes, length, nullptr, enc); }
// Appends a new string! decoded from the bytes to the block of block_node.
void load_in(const u8* bytes, u32 length, u32 block_node, Encoding enc);

// ---- reading -----------------------------------------------------------------

// One code point in a unit of width 1, 2 or 4 (runtime/unicode.hpp).
using unicode::get_char;
using unicode::put_char;

// The code point at unit position pos of the buffer (counted from its head,
// not from the index); pos must lie before the tail.
u32 char_at(const Cell* str, u32 pos);
// Address of the unit at the index; an index past the tail (or below 0) is
// first set back to the tail (or 0) in the cell. Valid until the next
// allocation.
u8* index_pointer(Cell* str);
u8* tail_pointer(const Cell* str);
bool is_tail(const Cell* str);  // index at or past the tail
u32 length_from_index(const Cell* str);
u32 length_from_head(const Cell* str);
// Move the index by n units (or one), kept between the head and the tail.
void advance(Cell* str, i32 n);
inline void next(Cell* str) { advance(str, 1); }
// Offset from the index of the first unit equal to cp (exact), or -1.
i32 find_char(const Cell* str, u32 cp);
// Whether a record of `skip` units from the index starts with cp; both sides
// are folded to uppercase unless case_sensitive is set.
bool find_char_skip(const Cell* str, u32 cp, u32 skip, bool case_sensitive);
// Whether the string at its index starts with exactly the bytes of text
// (each byte a code point, compared unfolded).
bool match_bytes(const Cell* str, const char* text);

// ---- writing -------------------------------------------------------------------

// Widens the buffer of a string node to the given unit, in place when it fits.
void widen(u32 node, u32 unit);
// Appends one code point at the tail (widening at 128 and 65536).
void append_char(u32 node, u32 cp);
inline void append_char(Cell* str, u32 cp) { append_char(series_node(str), cp); }
// Appends bytes as code points without widening (for ASCII text).
void append_ascii(Cell* str, const char* text, std::size_t n);
inline void append_ascii(Cell* str, const char* text) {
  append_ascii(str, text, std::char_traits<char>::length(text));
}
// Appends ASCII text for a form or mold handler; answers the budget less the
// characters written.
inline i32 write_ascii_n(Cell* buffer, const char* text, u32 n, i32 budget) {
  append_ascii(buffer, text, n);
  return budget - i32(n);
}
inline i32 write_ascii(Cell* buffer, const char* text, i32 budget) {
  return write_ascii_n(buffer, text, u32(std::char_traits<char>::length(text)), budget);
}
// Appends UTF-8 text as code points, a byte that begins no valid sequence
// standing for itself (as Latin-1). The bytes must not lie in the collected
// region (appending may move it). Answers the number of code points appended.
u32 append_utf8(Cell* str, const u8* p, const u8* end);
// Writes cp at unit position pos (widening at 256 and 65536). A position at
// the tail extends the string by one unit; one past the tail extends it too,
// the units between becoming U+0000.
void poke_char_at(u32 node, u32 pos, u32 cp);
inline void poke_char(u32 node, u32 pos, u32 cp) { poke_char_at(node, pos, cp); }
// Inserts cp at unit position pos (at most the tail), moving the rest up.
void insert_char_at(u32 node, u32 pos, u32 cp);
// Remove n units (or one) at unit position pos; nothing at or past the tail.
void remove_units(u32 node, u32 pos, u32 n);
inline void remove_unit(u32 node, u32 pos) { remove_units(node, pos, 1); }
// Keeps at most n units from the index.
void truncate(Cell* str, u32 n);
// Keeps at most n units from the buffer's head.
void truncate_buffer(u32 node, u32 n);
// Empties the buffer, sets its unit back to 1 and the index to 0.
void reset_buffer(Cell* str);
// Moves the code points of source from its index (bytes: a count in the
// source's unit) to the target's index, then removes them from the source.
void move_chars(Cell* source, Cell* target, u32 bytes);
// Exchanges the adjacent byte runs [start, start+first) and
// [start+first, start+first+second), so that the second comes first.
void rotate(u8* start, u32 first, u32 second);

// Copies the code points of source from its index (at most part of them;
// part < 0 for all) into target. A wider source widens the target first; a
// narrower one is converted while copying (the source never changes). The
// source may be the target itself. Answers the number of code points copied.
enum class Mode {
  append,     // at the tail
  insert,     // at the target's index + offset, moving the rest up
  overwrite,  // at the target's index + offset, extending the tail if needed
};
u32 concatenate_worker(Cell* target, const Cell* source, i32 part, u32 offset, Mode mode);
inline u32 concatenate(Cell* target, const Cell* source, i32 part = -1) {
  return concatenate_worker(target, source, part, 0, Mode::append);
}
inline u32 overwrite(Cell* target, const Cell* source, i32 part, u32 offset) {
  return concatenate_worker(target, source, part, offset, Mode::overwrite);
}
// Append each byte as a code point (through append_char).
void concatenate_literal(Cell* str, const char* text);
void concatenate_bytes(Cell* str, const u8* bytes, u32 n);

// The float value of `length` units of decimal text at `text` (the units of
// a string buffer); unconsumed, when not null, receives the count of units at
// the end that are not part of the number.
double to_float(const u8* text, u32 length, u32 unit, std::size_t* unconsumed = nullptr);

// The code points from the index, as UTF-8 (for the OS boundary and tests).
std::string to_utf8(const Cell* str);

// ---- hexadecimal digits (upper case) -------------------------------------------

// Two digits, high first, in a static table.
const char* byte_to_hex(u8 byte);
// Eight digits of the 32-bit value; with trim only the significant digits
// ("00" for 0). The text lives in a static buffer that the next call
// overwrites.
const char* to_hex(i32 value, bool trim);

// ---- helpers of the string! actions ----------------------------------------------

// Makes room for more_bytes after the used part of the node's buffer (the
// buffer doubles past the need when it grows); answers the buffer.
mem::Buffer* make_room(u32 node, u64 more_bytes);
// Appends code points at the tail with the rules of append_char, widening
// the buffer once for the widest of them.
void append_code_points(Cell* str, const u32* cps, std::size_t n);

// Tells the object that owns a series about a change to it: the action's
// event before the change (at construction) and, only when that call reached
// an owner's handler, the past event after it (done). A series nobody owns
// costs one flag test.
class OwnerNotice {
 public:
  OwnerNotice(const Cell* series, series::Event before, series::Event after, const Cell* new_value,
              i32 index, i32 part)
      : series_(series), after_(after), new_value_(new_value),
        fired_(series::notify(series, before, new_value, index, part)) {}
  void done(i32 index, i32 part) {
    if (fired_) series::notify(series_, after_, new_value_, index, part);
    fired_ = false;
  }
  OwnerNotice(const OwnerNotice&) = delete;
  OwnerNotice& operator=(const OwnerNotice&) = delete;

 private:
  const Cell* series_;
  series::Event after_;
  const Cell* new_value_;
  bool fired_;
};

// ---- the string! datatype ----------------------------------------------------------
//
// string! (parent series!) and the types that share its layout and handlers:
// file!, url!, tag!, email!, ref!; binary! and vector! inherit what their
// own modules do not replace.

// The append action's common case, done at once: a char that needs no
// wider unit, or a whole string of the target's unit, onto an unowned string
// with room at its tail. Answers false, having changed nothing, for anything
// else (the action's handler then does the work).
bool append_at_tail(Cell* series, const Cell* value);
void register_type();  // registers string!

// Three-way comparison of two string-like values (or symbol! entries as
// symbol::get answers them, read from their spelling string) under a
// comparison operation code. Ordering answers
// -1, 0 or 1; the equality codes answer 1 at once for different lengths.
// In prefix mode only b's length is compared (a starts with b): an empty b
// answers 1 under COMP_EQUAL_NO_CASE and 0 otherwise, a shorter a answers 1.
i32 compare(const Cell* a, const Cell* b, i32 op, bool prefix = false);

// form and mold (the Form and Mold handler signatures).
i32 form(Cell* str, Cell* out, Cell* arg, i32 limit);
i32 mold(Cell* str, Cell* out, bool only, bool all, bool flat, Cell* arg, i32 limit, i32 indent);
// Appends one code point in source notation: with escape mode MOLD_ESCAPES
// the control characters, the double quote and the caret as ^ escapes; with
// all, every code point above 127 as ^(hex).
inline constexpr u32 MOLD_ESCAPES = 253;
void mold_char(Cell* out, u32 cp, u32 mode, bool all);

// Removes from the index onwards every code point of the set given by with
// (a char! or integer!: one code point; a string! or binary!: its units from
// the index; null: tab, line feed, carriage return and space).
void trim_with(Cell* str, const Cell* with);

// The set operations on the two series at the frame base (first, second):
// op is OP_UNIQUE .. OP_DIFFERENCE; skip is an integer! record size or null.
// The result, a new series of the first one's type, replaces the base cell
// and the second argument is dropped.
void do_set_op(i32 op, bool case_sensitive, const Cell* skip);

// find, select and sort (the Find and Sort handler signatures). Text series
// compare folded to upper case unless /case or /same is given; an empty
// pattern matches nothing. select answers the unit after the whole match
// (a formed value, such as an integer! or a tag!, counts with its form).
// sort folds units the same whatever their width (text through the case
// tables, binary! only A-Z); /stable keeps equal records in their order, with
// or without /case.
Cell* find(Cell* series, Cell* value, const act::FindOptions& o);
Cell* select(Cell* series, Cell* value, const act::FindOptions& o);
// The unit position just after the first match of the value from the
// series' index (where select reads and a set-path writes), or -1.
i32 select_position(Cell* series, Cell* value, bool case_);
Cell* sort(Cell* series, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all,
           bool reverse, bool stable);

// Matching for PARSE: whether the string at its index starts with the value
// (an any-string compared under op, a char!, or a tag! written <...>).
bool match(const Cell* str, const Cell* value, i32 op);
// Whether the code point at the string's index is in the bitset.
bool match_bitset(const Cell* str, const Cell* bitset);
// Whether the string holds "<" at its index and ">" just after the tag's text.
bool tag_like(const Cell* str, const Cell* tag);

// The worker of the natives uppercase (upper set) and lowercase: changes a
// char! or a string-like series in place. part is null for no /part, else an
// integer! count or a series of the value's datatype over the same buffer
// (counting to its index); any other part raises script invalid-refine-arg.
// A string is folded from its index (clamped to the tail) for the counted
// code points, widening its units when a folded code point needs it.
// Answers the value.
Cell* change_case(Cell* value, const Cell* part, bool upper);

}  // namespace qel::string
