// The lexer: UTF-8 text to values.
//
// One table-driven state machine over byte classes finds the end and the
// kind of the next token; the token's scan function or loader (one per kind)
// then checks its text and, when values are loaded, builds its value on the
// shared lexer stack. The same machine runs in three modes:
//   load     values are built (syntax errors are raised as syntax errors);
//   scan     tokens are checked and their types reported, nothing is built;
//   prescan  only the nesting of blocks, parens, paths and strings is followed.
// In scan and prescan mode a syntax error never raises: the scan stops and
// answers error!.
//
// A callback (a function! or routine!) may watch every step through six
// events: prescan, scan, load, open, close, error. It is called through
// api::invoke (runtime/api.hpp) in a frame named <lexer-callback>.
//
// Invariants
// - The shared lexer stack is C++ memory: its cells never move while a scan
//   runs except when it grows, and states keep indexes into it, never
//   pointers. A nested scan (started by a callback) owns the cells above the
//   tail of the scan that started it.
// - The collector marks every cell of the shared stack in use, and the
//   callback and source cells of every active state (a mark callback).
// - The bytes being scanned never lie in the collected region: string!
//   sources are converted to UTF-8 into the scratch buffer, binary! sources
//   are copied there, so no allocation can move them mid-scan.
#pragma once

#include <cstddef>

#include "runtime/cell.hpp"

namespace qel::lexer {

// Token kinds: the final state of the machine minus 65.
enum Kind : u8 {
  K_EOF = 1, K_ERROR, K_BLOCK_OPEN, K_BLOCK_CLOSE, K_PAREN_OPEN, K_PAREN_CLOSE,
  K_MSTRING_OPEN, K_MSTRING_CLOSE, K_MAP_OPEN, K_PATH, K_CONSTRUCT, K_COMMENT, K_COMMA,
  K_STRING, K_WORD, K_ISSUE, K_INTEGER, K_REFINEMENT, K_CHAR, K_FILE, K_BINARY, K_PERCENT,
  K_FLOAT, K_FLOAT_SPECIAL, K_TUPLE, K_DATE, K_PAIR, K_POINT, K_TIME, K_MONEY, K_TAG, K_URL,
  K_EMAIL, K_HEX, K_RAWSTRING, K_REF,
};
inline constexpr int KIND_COUNT = 36;

// Event bits; the callback's spec may start with a block of the event words
// it wants (all six without one).
enum Event : u32 {
  EV_PRESCAN = 1, EV_SCAN = 2, EV_LOAD = 4, EV_OPEN = 8, EV_CLOSE = 16, EV_ERROR = 32,
};
inline constexpr u32 EVENTS_ALL = 63;

// ---- start-up and the collector ---------------------------------------------------

// Allocates the shared stack (1000 cells) and the scratch buffer, interns the
// event and token words, builds the exit-states block, registers the mark
// callback and installs the word family's text loader.
void init();

// Marks the cells of every active scan, their callbacks and sources.
void mark_states();
// The block of the lexer's exit states (token types), for system/lexer.
const Cell* exit_states();

// ---- scanning ----------------------------------------------------------------------

struct ScanFlags {
  bool one = false;         // stop after one complete top-level value
  bool scan = true;         // false: prescan mode
  bool load = true;         // build values (only with scan)
  bool keep_block = false;  // a block of values even when one value was read
  bool unbound = false;     // words belong to no context (none is added to the global one)
};

// Scans len bytes of UTF-8 at src. The bytes must not lie in the collected
// region (copy them out first). dst (a cell that does not move: a stack
// cell, a rooted cell) receives, when values are loaded, the single value
// (one with exactly one value and no keep_block) or a block of all values,
// or, with a target block, the target block after the values were appended
// to it; in scan and prescan mode it becomes none when a syntax error stopped
// the scan. consumed receives the units read: code points when source is a
// string!, bytes otherwise. callback: a function! or routine! cell, or null.
// source: the series the callback is shown (string! or binary! whose index
// is where src starts), or null. Answers the datatype id of the last token
// (0 when none; TYPE_ERROR for a syntax error in scan and prescan mode).
Type scan(Cell* dst, const u8* src, u32 len, ScanFlags flags, u32* consumed,
          const Cell* callback, const Cell* source, const Cell* target);

// Scans a string! of any unit width from its index, at most length code
// points (-1: to its tail); the text is converted to UTF-8 first and
// positions (consumed, event positions) count code points.
Type transcode_string(Cell* dst, const Cell* str, i32 length, ScanFlags flags, u32* consumed,
                      const Cell* callback, const Cell* target);

// Loads all the values of a string's text into a block in out (a block even
// for one value); a syntax error raises.
void load_all(const Cell* text, Cell* out);

// The first value of a string's text into out; false when there is none or
// the text is not valid (no error is raised).
bool load_first_value(const Cell* text, Cell* out);

// ---- the transcode native ------------------------------------------------------------

// transcode: src [string! binary!] /next /one /prescan /scan /part length
// [integer! string! binary!] /into dst [block!] /trace callback [function!]
// Absent refinement arguments are null; `out` is a stack cell for the result.
// The source cell may be updated (a binary!'s byte-order mark moves its index).
Cell* transcode(Cell* out, Cell* src, bool next, bool one, bool prescan, bool scan,
                const Cell* part, const Cell* into, const Cell* trace);

// The native's stack entry. Arguments from stack::base: the source; refs[k]
// is the offset from the base of refinement k's first argument cell, or -1
// when the refinement is absent, for k = 0 /next, 1 /one, 2 /prescan,
// 3 /scan, 4 /part (length), 5 /into (dst), 6 /trace (callback). The result
// is left in stack::base.
void transcode_native(const i32* refs);

// ---- text to numbers (used by the datatypes' conversions) -----------------------------

// Decimal integer from length units of width unit (1, 2 or 4): optional
// sign, digits, apostrophes ignored. *status: 0, -1 for a character that is
// no digit (or no digit at all), -2 for overflow ("-2147483648" is the
// lowest integer).
i32 text_to_integer(const u8* text, u32 length, u32 unit, i32* status);

// Double from length units of width unit: at most 312 characters, "," taken
// as ".", apostrophes dropped, checked as a float literal. *status: 0, or -1
// with a NaN answer for a bad form.
double text_to_float(const u8* text, u32 length, u32 unit, i32* status);

// ---- loaders of other modules ---------------------------------------------------------

struct State;
// A token loader: checks the token [start, end) (with load false) or builds
// its value (load true) on the lexer stack, and sets the position after the
// token. flags: the class flags of the token's bytes OR-ed together.
using Loader = void (*)(State* s, const u8* start, const u8* end, u32 flags, bool load);
// Installs the loader of a token kind (the extended datatypes install theirs
// when their modules start). Until then such a token is an `invalid` syntax
// error naming its datatype.
void set_loader(Kind kind, Loader fn);
// Installs the loaders of tuples, percents, pairs, points, dates and money
// (lexer_loaders_scalars.cpp); lexer init calls it.
void install_scalar_loaders();

// What loaders use.
Cell* new_cell(State* s);                 // a new unset cell on the lexer stack
void set_position(State* s, const u8* p);  // where the scan goes on
[[noreturn]] void throw_error(State* s, const u8* start, const u8* end, i32 kind);

// Loads UTF-8 source text into a block, whole (out must be rooted).
void load_source(Cell* out, const char* text, std::size_t size);

// Moves the index of a loaded script past its header (the word Qel and a
// block); answers whether there was one.
bool skip_header(Cell* code);

}  // namespace qel::lexer
